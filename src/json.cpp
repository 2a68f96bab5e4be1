#include "json.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "budget.hpp"

namespace mirelo::json {

Text& Text::operator=(Text&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

Text::~Text() { std::free(data_); }

void Text::grow(size_t n) {
    constexpr size_t first_capacity = 256;
    const size_t need = size_ + n + 1;  // and the NUL
    if (need <= size_) throw std::bad_alloc();  // the sum wrapped around
    // Growing by half keeps the number of steps small. A block of 32 MiB or
    // more is always mapped on its own (glibc's mmap threshold rises no
    // higher) and moved by the kernel without a copy, so it grows by an
    // eighth: the memory budget is charged for a little more than the text
    // holds, not for half as much again. Below that, small steps would leave
    // holes in the heap.
    constexpr size_t mapped_capacity = size_t{32} << 20;
    const size_t step = capacity_ < mapped_capacity ? capacity_ / 2 : capacity_ / 8;
    const size_t want = std::max({need, capacity_ + step, first_capacity});
    // The budget is charged for the block as malloc makes it, as the tree's
    // blocks are: its header and rounding, or whole pages when it is mapped.
    // When the wanted block does not fit but the needed one does, the text
    // grows by what it needs only.
    const uint64_t held = capacity_ == 0 ? 0 : budget::block_bytes(capacity_);
    const uint64_t need_more = budget::block_bytes(need) - held;
    const uint64_t want_more = budget::block_bytes(want) - held;
    uint64_t granted = budget::grant(need_more, want_more, "the JSON text");
    size_t capacity = want;
    if (granted < want_more) {
        budget::refund(granted - need_more);
        granted = need_more;
        capacity = need;
    }
    auto* grown = static_cast<char*>(std::realloc(data_, capacity));
    if (grown == nullptr) {
        budget::refund(granted);
        throw std::bad_alloc();
    }
    data_ = grown;
    capacity_ = capacity;
}

char* Text::release() {
    if (data_ == nullptr) return nullptr;
    data_[size_] = '\0';
    char* out = data_;
    // Returns the unused end of the block; a block that cannot shrink is
    // kept as it is.
    if (capacity_ > size_ + 1) {
        if (auto* trimmed = static_cast<char*>(std::realloc(data_, size_ + 1))) out = trimmed;
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
    return out;
}

std::string_view error_name(EncoderError error) {
    return error == EncoderError::FmtError ? "FmtError" : "BadHashmapKey";
}

namespace {

// For each byte: 0 written as it stands, otherwise the escape's second char
// ('u' for the \u00XX form).
struct EscapeTable {
    char code[256] = {};
    constexpr EscapeTable() {
        for (int c = 0; c < 0x20; ++c) code[c] = 'u';
        code[0x7f] = 'u';
        code[static_cast<unsigned char>('"')] = '"';
        code[static_cast<unsigned char>('\\')] = '\\';
        code[0x08] = 'b';
        code[0x09] = 't';
        code[0x0a] = 'n';
        code[0x0c] = 'f';
        code[0x0d] = 'r';
    }
};
constexpr EscapeTable ESCAPES;

}  // namespace

void escape_str(Text& out, std::string_view text) {
    static const char* hex = "0123456789abcdef";
    out.push_back('"');
    const char* start = text.data();
    const char* end = start + text.size();
    const char* run = start;
    for (const char* p = start; p != end; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        char code = ESCAPES.code[c];
        if (code == 0) continue;
        out.append(run, p);
        if (code == 'u') {
            const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]};
            out.append(esc, 6);
        } else {
            const char esc[2] = {'\\', code};
            out.append(esc, 2);
        }
        run = p + 1;
    }
    out.append(run, end);
    out.push_back('"');
}

void Encoder::emit_option_none() {
    if (!allowed()) return;
    out_.append("null");
}

void Encoder::emit_bool(bool value) {
    if (!allowed()) return;
    out_.append(value ? "true" : "false");
}

void Encoder::emit_f64(double value) {
    if (error_) return;
    char* start = out_.tail(JSON_NUMBER_MAX + 2);
    char* p = start;
    if (map_key_) *p++ = '"';
    p = write_json_number(p, value);
    if (map_key_) *p++ = '"';
    out_.commit(static_cast<size_t>(p - start));
}

void Encoder::emit_str(std::string_view value) {
    if (error_) return;
    escape_str(out_, value);
}

}  // namespace mirelo::json
