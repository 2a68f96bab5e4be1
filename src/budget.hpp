// The memory budget of one call.
//
// A small input can ask for a huge result: a period of a hundred thousand
// years, a long text copied into every stage node, every element copied into
// every building. A host that calculates files it did not write must not be
// brought down by one, so each call may hold at most
//
//     max(ACTIVATION_THRESHOLD, MAX_AMPLIFICATION x input bytes)
//
// bytes of tree and JSON text (a maximum amplification above an activation
// threshold, as expat bounds entity expansion). The places that make the
// result grow charge their bytes here before they spend them; a charge that
// does not fit is the fatal stop "result too large: ... (limit ...)".
//
// The budget belongs to the thread that runs the call (`Scope`). Without a
// scope, as in unit tests of single nodes, every charge is free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mirelo {

struct Building;
struct Category;
struct Construction;
struct Element;
struct Operation;
struct OperationDataPoint;
struct OperationIndicatorGroup;
struct OperationScenario;
struct OperationUtility;
struct Product;
struct ProductLink;
struct Source;
struct Stage;
struct StageLink;
struct SuperCategory;
struct TreeResultStage;

namespace budget {

// Every input may use this much, whatever its size: small projects over
// long periods (a 200-year period of the bundled example needs a few MiB).
inline constexpr uint64_t ACTIVATION_THRESHOLD = uint64_t{64} << 20;
// Above it, a call may hold this many times its input. Generated projects
// hold about 45 (their JSON text alone is 43 times the input).
inline constexpr uint64_t MAX_AMPLIFICATION = 100;

// Bytes charged for one stored yearly value: the entry and the slack of the
// vector it lives in.
inline constexpr uint64_t YEAR_VALUE_BYTES = 32;

// The limit of a call that reads `input_bytes` bytes.
uint64_t limit_for(uint64_t input_bytes);

// What one call may spend and has spent.
struct Account {
    uint64_t input_bytes = 0;
    uint64_t limit = 0;
    uint64_t used = 0;
};

// Installs the budget of the call that runs on this thread, for its lifetime.
class Scope {
public:
    explicit Scope(uint64_t input_bytes);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Account account_;
    Account* outer_;
};

// Counts `bytes` against this thread's budget; the fatal stop
// "result too large: <what> (limit ...)" when they do not fit.
void charge(uint64_t bytes, std::string_view what);
// Gives back bytes charged earlier.
void refund(uint64_t bytes);
// Bytes charged so far on this thread (0 without a scope).
uint64_t charged();
// For a buffer that grows: between `need` and `want` bytes (want >= need),
// as many as fit, already charged; the fatal stop when not even `need` fits.
uint64_t grant(uint64_t need, uint64_t want, std::string_view what);

// Heap bytes held by a copy of a text and of a list of texts.
size_t text_bytes(const std::string& text);
size_t text_bytes(const std::vector<std::string>& texts);
// Heap bytes held by a copy of a record: its texts.
size_t text_bytes(const Building& r);
size_t text_bytes(const Category& r);
size_t text_bytes(const Construction& r);
size_t text_bytes(const Element& r);
size_t text_bytes(const Operation& r);
size_t text_bytes(const OperationDataPoint& r);
size_t text_bytes(const OperationIndicatorGroup& r);
size_t text_bytes(const OperationScenario& r);
size_t text_bytes(const OperationUtility& r);
size_t text_bytes(const Product& r);
size_t text_bytes(const ProductLink& r);
size_t text_bytes(const Source& r);
size_t text_bytes(const Stage& r);
size_t text_bytes(const StageLink& r);
size_t text_bytes(const SuperCategory& r);
// Bytes held by a copy of a stage's results.
size_t held_bytes(const TreeResultStage& stage);

// Charges a new tree node: its object and the texts of the records it copies.
template <class... Records>
void charge_node(size_t node_size, std::string_view what, const Records&... records) {
    charge(node_size + (size_t{0} + ... + text_bytes(records)), what);
}

}  // namespace budget

}  // namespace mirelo
