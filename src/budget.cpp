#include "budget.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "shared_error.hpp"

namespace mirelo::budget {

namespace {

// The account of the call on this thread; a nested scope (a call made
// while another runs on the same thread) keeps its own. The initial-exec
// model puts it in the block every thread gets when it is created, even in
// a library loaded with dlopen: otherwise the C library allocates it on the
// thread's first use and ends the process when that allocation fails.
thread_local Account* current __attribute__((tls_model("initial-exec"))) = nullptr;

std::atomic<uint64_t> rule_min_limit{RULE.min_limit};
std::atomic<uint64_t> rule_per_input_byte{RULE.per_input_byte};

Rule rule_in_force() {
    return {rule_min_limit.load(std::memory_order_relaxed), rule_per_input_byte.load(std::memory_order_relaxed)};
}

uint64_t limit_under(Rule rule, uint64_t input_bytes) {
    const uint64_t scaled = rule.per_input_byte != 0 && input_bytes > UINT64_MAX / rule.per_input_byte
                                ? UINT64_MAX
                                : input_bytes * rule.per_input_byte;
    return std::max(rule.min_limit, scaled);
}

[[noreturn]] void too_large(const Account& account, uint64_t bytes, std::string_view what) {
    std::string message = "result too large: " + std::string(what) + " needs " + std::to_string(bytes) +
                          " more bytes after " + std::to_string(account.used) + " (limit " +
                          std::to_string(account.limit) + " bytes";
    if (account.source.host_bytes) {
        message += " from " + std::string(LIMIT_VARIABLE) + "=" + account.source.host_text;
    } else {
        message += ": the larger of " + std::to_string(account.rule.min_limit) + " and " +
                   std::to_string(account.rule.per_input_byte) + " x " + std::to_string(account.input_bytes) +
                   " input bytes read";
    }
    message += "); set " + std::string(LIMIT_VARIABLE) + " to a larger byte count, or 0 for no limit";
    fatal(message);
}

uint64_t room(const Account& account) { return account.used < account.limit ? account.limit - account.used : 0; }

}  // namespace

uint64_t limit_for(uint64_t input_bytes) { return limit_under(rule_in_force(), input_bytes); }

void set_rule(Rule rule) {
    rule_min_limit.store(rule.min_limit, std::memory_order_relaxed);
    rule_per_input_byte.store(rule.per_input_byte, std::memory_order_relaxed);
}

std::optional<uint64_t> parse_byte_count(std::string_view text) {
    uint64_t unit = 1;
    if (!text.empty()) {
        switch (text.back()) {
            case 'T': case 't': unit <<= 10; [[fallthrough]];
            case 'G': case 'g': unit <<= 10; [[fallthrough]];
            case 'M': case 'm': unit <<= 10; [[fallthrough]];
            case 'K': case 'k': unit <<= 10; text.remove_suffix(1); break;
            default: break;
        }
    }
    if (text.empty()) return std::nullopt;
    uint64_t count = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (count > (UINT64_MAX - digit) / 10) return std::nullopt;
        count = count * 10 + digit;
    }
    if (count > UINT64_MAX / unit) return std::nullopt;
    return count * unit;
}

Limit limit_from_environment() {
    const char* value = std::getenv(LIMIT_VARIABLE);
    if (value == nullptr || *value == '\0') return {};
    const std::optional<uint64_t> bytes = parse_byte_count(value);
    if (!bytes) fatal(std::string(LIMIT_VARIABLE) + " is not a byte count: \"" + value + "\"");
    return {bytes, value};
}

Scope::Scope(uint64_t input_bytes, Limit limit) : outer_(current) {
    account_.rule = rule_in_force();
    account_.input_bytes = input_bytes;
    account_.limit = !limit.host_bytes       ? limit_under(account_.rule, input_bytes)
                     : *limit.host_bytes == 0 ? UINT64_MAX
                                              : *limit.host_bytes;
    account_.source = std::move(limit);
    current = &account_;
}

Scope::~Scope() { current = outer_; }

void charge(uint64_t bytes, std::string_view what) { (void)grant(bytes, bytes, what); }

void refund(uint64_t bytes) noexcept {
    if (current == nullptr) return;
#ifdef MIRELO_CHECK_BUDGET
    // Giving back more than was charged means a charge was forgotten.
    if (bytes > current->used) {
        std::fprintf(stderr, "mirelo: a refund larger than what was charged: %llu bytes, %llu charged\n",
                     static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(current->used));
        std::abort();
    }
#endif
    current->used -= std::min(current->used, bytes);
}

uint64_t charged() noexcept { return current ? current->used : 0; }

uint64_t peak() noexcept { return current ? current->peak : 0; }

uint64_t grant(uint64_t need, uint64_t want, std::string_view what) {
    Account* account = current;
    if (account == nullptr) return want;
    const uint64_t available = room(*account);
    if (need > available) too_large(*account, need, what);
    const uint64_t granted = std::min(want, available);
    account->used += granted;
    account->peak = std::max(account->peak, account->used);
    return granted;
}

namespace {

// The heap block of a text of `capacity`: none while it fits inside the
// string object itself (the capacity of an empty string), else a block of
// that capacity and its NUL.
size_t text_block(size_t capacity) {
    static const size_t inline_capacity = std::string().capacity();
    return capacity <= inline_capacity ? 0 : block_bytes(capacity + 1);
}

}  // namespace

size_t heap_bytes(const std::string& text) noexcept { return text_block(text.capacity()); }

size_t heap_bytes(const std::vector<std::string>& texts) noexcept {
    size_t n = texts.capacity() == 0 ? 0 : block_bytes(texts.capacity() * sizeof(std::string));
    for (const std::string& text : texts) n += heap_bytes(text);
    return n;
}

// A copy's capacity is the text's size.
size_t copy_bytes(std::string_view text) noexcept { return text_block(text.size()); }

}  // namespace mirelo::budget
