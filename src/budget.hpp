// The memory budget of one call.
//
// A small input can ask for a huge result: thousands of replacement years
// in every product, a long text copied into every stage node, every element
// copied into every building. A host that calculates files it did not write
// must not be brought down by one, so by default each call may hold at most
//
//     max(MIN_LIMIT, BYTES_PER_INPUT_BYTE x bytes read from its input files)
//
// bytes of calculation tree and JSON text. What a real project needs per
// byte read grows with its products per construction times its years over
// their lifespans, without bound (every element carries its own copy of
// its constructions' products and their yearly results), so no rule on the
// input size fits every project: the host sets the limit of its calls with
// the environment variable MIRELO_MEMORY_LIMIT, which replaces the rule
// (`Limit`, `limit_from_environment`).
//
// What the tree and the text hold is charged here before it is allocated,
// and given back when it is freed, so that the account follows the heap the
// call really uses: the tree's containers through `Allocator`, the texts its
// nodes copy from the input through `Charge`, the JSON text through `grant`.
// A charge that does not fit is the fatal stop "result too large: ...".
//
// The budget belongs to the thread that runs the call (`Scope`). Without a
// scope, as in unit tests of single nodes, every charge is free. This module
// knows only byte counts: the types that hold memory count their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mirelo::budget {

// The limit of a call: the larger of `min_limit` and `per_input_byte` times
// the bytes read from its input files.
struct Rule {
    uint64_t min_limit;
    uint64_t per_input_byte;
};

// The default rule: every input under 16 KiB may use 1 GiB.
inline constexpr uint64_t MIN_LIMIT = uint64_t{1} << 30;
inline constexpr uint64_t BYTES_PER_INPUT_BYTE = 65536;
inline constexpr Rule RULE{MIN_LIMIT, BYTES_PER_INPUT_BYTE};

// The limit of a call that read `input_bytes` bytes under the rule in force.
uint64_t limit_for(uint64_t input_bytes);

// Replaces the rule for the calls that start afterwards, so that tests can
// reach the limit with small inputs; `RULE` restores it.
void set_rule(Rule rule);

// The environment variable through which the host sets the limit.
inline constexpr char LIMIT_VARIABLE[] = "MIRELO_MEMORY_LIMIT";

// Where the limit of a call comes from: the rule in force on the bytes the
// call reads, or a byte count the host set, whatever the input (0: none).
struct Limit {
    std::optional<uint64_t> host_bytes;
    std::string host_text;  // the variable's value as the host wrote it
};

// A byte count as MIRELO_MEMORY_LIMIT takes it: decimal digits, then
// optionally K, M, G or T in either case (powers of 1024). Nothing for any
// other text (a sign, blanks, a fraction, another suffix) or a count above
// 2^64 - 1.
std::optional<uint64_t> parse_byte_count(std::string_view text);

// The limit the environment sets: MIRELO_MEMORY_LIMIT when it is set and
// not empty, the rule otherwise. A value that is not a byte count is the
// fatal stop `MIRELO_MEMORY_LIMIT is not a byte count: "<value>"`.
Limit limit_from_environment();

// What one call may spend and has spent.
struct Account {
    Rule rule{};
    Limit source;
    uint64_t input_bytes = 0;
    uint64_t limit = 0;
    uint64_t used = 0;
    uint64_t peak = 0;
};

// Installs the budget of the call that runs on this thread, for its
// lifetime: `limit`, or the rule in force on `input_bytes`. The scope must
// outlive everything charged under it.
class Scope {
public:
    explicit Scope(uint64_t input_bytes, Limit limit = {});
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Account account_;
    Account* outer_;
};

// Counts `bytes` against this thread's budget; the fatal stop
// "result too large: <what> needs ..." when they do not fit.
void charge(uint64_t bytes, std::string_view what);
// Gives back bytes charged earlier.
void refund(uint64_t bytes) noexcept;
// Bytes held now, and the most held at any time, on this thread (0 without
// a scope).
uint64_t charged() noexcept;
uint64_t peak() noexcept;
// For a buffer that grows: between `need` and `want` bytes (want >= need),
// as many as fit, already charged; the fatal stop when not even `need` fits.
uint64_t grant(uint64_t need, uint64_t want, std::string_view what);

// The heap a block of `n` bytes takes from glibc's malloc on a 64-bit
// machine: the size with its header, in 16-byte steps, at least 32; a block
// of 128 KiB or more (glibc's first mmap threshold) is counted as mapped on
// its own, in whole pages with a 16-byte header. glibc raises the threshold
// as mapped blocks are freed, up to 32 MiB: a block below that may then come
// from the heap instead, for less than a page more or less than counted
// here. Small blocks are most of a tree (a text of 20 bytes takes 32), so
// counting their headers is what keeps the account close to the real heap.
constexpr uint64_t block_bytes(uint64_t n) {
    constexpr uint64_t MMAP_THRESHOLD = 128 * 1024;
    constexpr uint64_t PAGE = 4096;
    if (n >= MMAP_THRESHOLD) return (n + 16 + PAGE - 1) / PAGE * PAGE;
    const uint64_t chunk = (n + 8 + 15) / 16 * 16;
    return chunk < 32 ? 32 : chunk;
}

// Heap held by a text (nothing while it fits in the string object itself)
// and by a list of texts.
size_t heap_bytes(const std::string& text) noexcept;
size_t heap_bytes(const std::vector<std::string>& texts) noexcept;
// The same for a copy of `text`, before it is made.
size_t copy_bytes(std::string_view text) noexcept;
// The heap held by several texts: a record's `heap_bytes`.
template <class... Texts>
size_t texts_bytes(const Texts&... texts) noexcept {
    return (size_t{0} + ... + heap_bytes(texts));
}

// The allocator of the tree's containers: each block is charged before it
// is allocated and given back when it is freed.
template <class T>
struct Allocator {
    using value_type = T;

    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        const uint64_t bytes = block_bytes(n * sizeof(T));
        charge(bytes, "the calculation tree");
        try {
            return std::allocator<T>().allocate(n);
        } catch (...) {
            refund(bytes);
            throw;
        }
    }
    void deallocate(T* p, size_t n) noexcept {
        std::allocator<T>().deallocate(p, n);
        refund(block_bytes(n * sizeof(T)));
    }

    template <class U>
    friend bool operator==(const Allocator&, const Allocator<U>&) noexcept {
        return true;
    }
};

// The sequence type of the tree: children and result maps.
template <class T>
using Vector = std::vector<T, Allocator<T>>;

// The heap a node holds outside its containers: the texts of the records it
// copies from the input. Charged when the node is made, again for every copy
// (a building's copy of the element branch), and given back with the node.
// It is no part of the node's value: two nodes compare equal whatever their
// charges.
class Charge {
public:
    Charge() noexcept = default;
    Charge(const Charge& other) { add(other.bytes_, "a copy of the tree"); }
    Charge(Charge&& other) noexcept : bytes_(std::exchange(other.bytes_, 0)) {}
    Charge& operator=(const Charge& other) {
        if (this != &other) {
            charge(other.bytes_, "a copy of the tree");
            refund(bytes_);
            bytes_ = other.bytes_;
        }
        return *this;
    }
    Charge& operator=(Charge&& other) noexcept {
        if (this != &other) {
            refund(bytes_);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    ~Charge() { refund(bytes_); }

    // Charges `bytes` more, held until the node goes.
    void add(uint64_t bytes, std::string_view what) {
        charge(bytes, what);
        bytes_ += bytes;
    }
    // Charges the texts of `records`, the copies a node holds (each record
    // type counts its own with `heap_bytes`).
    template <class... Records>
    void add_copies(std::string_view what, const Records&... records) {
        add((uint64_t{0} + ... + records.heap_bytes()), what);
    }
    uint64_t bytes() const noexcept { return bytes_; }

    friend bool operator==(const Charge&, const Charge&) noexcept { return true; }

private:
    uint64_t bytes_ = 0;
};

}  // namespace mirelo::budget
