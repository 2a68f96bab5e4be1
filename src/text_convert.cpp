#include "text_convert.hpp"

#include <locale.h>
#include <wctype.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <system_error>

#include "shared_error.hpp"

namespace mirelo {

namespace {

constexpr std::string_view kIntEmpty = "cannot parse integer from empty string";
constexpr std::string_view kIntInvalid = "invalid digit found in string";
constexpr std::string_view kIntOverflow = "number too large to fit in target type";
constexpr std::string_view kIntUnderflow = "number too small to fit in target type";
constexpr std::string_view kFloatEmpty = "cannot parse float from empty string";
constexpr std::string_view kFloatInvalid = "invalid float literal";
constexpr std::string_view kBoolInvalid = "provided string was not `true` or `false`";

[[noreturn]] void fail(std::string_view rule, std::string_view kind) {
    std::string message;
    message.reserve(rule.size() + 2 + kind.size());
    message.append(rule).append(": ").append(kind);
    fatal(std::move(message));
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool all_digits(std::string_view text) {
    for (char c : text) {
        if (!is_digit(c)) return false;
    }
    return true;
}

// ---------------------------------------------------------------- reals

// Significant digits kept when a real is handed to the correctly rounding
// reader. Every value halfway between two neighbouring doubles has at most
// 767 significant digits, so the first 780 digits plus one non-zero "sticky"
// digit for everything dropped round exactly like the full digit string.
constexpr size_t kKeptDigits = 780;

// Decimal exponents (value = 0.d1d2... x 10^E) outside this window are
// certainly infinity or zero; the window itself is read by std::from_chars.
constexpr int64_t kMaxDecimalExponent = 310;   // 0.1e310 > largest double
constexpr int64_t kMinDecimalExponent = -330;  // 1e-330 < half the smallest subnormal

// Exponent digits are accumulated up to this bound; anything larger is
// infinity or zero already, so saturating keeps huge exponents harmless.
constexpr int64_t kExponentCap = int64_t{1} << 50;

double signed_value(bool negative, double magnitude) { return negative ? -magnitude : magnitude; }

}  // namespace

uint32_t parse_u32(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) fail("u32", kIntEmpty);
    if (!all_digits(digits)) fail("u32", kIntInvalid);
    uint32_t value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec == std::errc::result_out_of_range) fail("u32", kIntOverflow);
    (void)ptr;
    return value;
}

int32_t parse_i32(std::string_view text) {
    bool negative = false;
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) fail("i32", kIntEmpty);
    if (!all_digits(digits)) fail("i32", kIntInvalid);
    // from_chars takes the "-" itself but not a "+", so a negative number is
    // read together with its sign (this keeps -2147483648 in range).
    const char* first = negative ? digits.data() - 1 : digits.data();
    int32_t value = 0;
    auto [ptr, ec] = std::from_chars(first, digits.data() + digits.size(), value);
    if (ec == std::errc::result_out_of_range) fail("i32", negative ? kIntUnderflow : kIntOverflow);
    (void)ptr;
    return value;
}

double parse_real(std::string_view text) {
    if (text.empty()) fail("real", kFloatEmpty);
    const size_t n = text.size();
    size_t i = 0;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        i = 1;
    }
    std::string_view body = text.substr(i);
    if (body == "inf") return signed_value(negative, std::numeric_limits<double>::infinity());
    if (body == "NaN") return signed_value(negative, std::numeric_limits<double>::quiet_NaN());

    // Syntax: digits [ "." digits ] [ ("e" | "E") [sign] digits ].
    const size_t int_begin = i;
    while (i < n && is_digit(text[i])) ++i;
    const size_t int_end = i;
    size_t frac_begin = i;
    size_t frac_end = i;
    bool has_point = false;
    if (i < n && text[i] == '.') {
        has_point = true;
        frac_begin = ++i;
        while (i < n && is_digit(text[i])) ++i;
        frac_end = i;
    }
    const bool has_digits = int_end > int_begin || frac_end > frac_begin;
    int64_t exponent = 0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        // ".e5" is accepted (and reads as zero); "e5" is not.
        if (!has_digits && !has_point) fail("real", kFloatInvalid);
        ++i;
        bool negative_exponent = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) {
            negative_exponent = text[i] == '-';
            ++i;
        }
        if (i == n || !is_digit(text[i])) fail("real", kFloatInvalid);
        while (i < n && is_digit(text[i])) {
            if (exponent < kExponentCap) exponent = exponent * 10 + (text[i] - '0');
            ++i;
        }
        if (negative_exponent) exponent = -exponent;
    } else if (!has_digits) {
        fail("real", kFloatInvalid);
    }
    if (i != n) fail("real", kFloatInvalid);

    // The digits before and after the point form one digit string; find its
    // first and last non-zero digit.
    const size_t int_len = int_end - int_begin;
    const size_t total = int_len + (frac_end - frac_begin);
    auto digit_at = [&](size_t k) { return k < int_len ? text[int_begin + k] : text[frac_begin + k - int_len]; };
    size_t first = 0;
    while (first < total && digit_at(first) == '0') ++first;
    if (first == total) return signed_value(negative, 0.0);
    size_t last = total - 1;
    while (digit_at(last) == '0') --last;

    // value = 0.d(first)...d(last) x 10^decimal_exponent
    const int64_t decimal_exponent = static_cast<int64_t>(int_len) - static_cast<int64_t>(first) + exponent;
    if (decimal_exponent > kMaxDecimalExponent) {
        return signed_value(negative, std::numeric_limits<double>::infinity());
    }
    if (decimal_exponent < kMinDecimalExponent) return signed_value(negative, 0.0);

    // Normalised text "d.ddd...e<exp>" for the correctly rounding reader.
    char buf[kKeptDigits + 32];
    char* p = buf;
    const size_t count = last - first + 1;
    const size_t kept = count > kKeptDigits ? kKeptDigits : count;
    *p++ = digit_at(first);
    if (count > 1) *p++ = '.';
    for (size_t k = 1; k < kept; ++k) *p++ = digit_at(first + k);
    if (count > kept) *p++ = '1';  // the dropped digits end in a non-zero digit
    *p++ = 'e';
    p = std::to_chars(p, buf + sizeof buf, decimal_exponent - 1).ptr;

    double value = 0.0;
    auto [ptr, ec] = std::from_chars(buf, p, value, std::chars_format::scientific);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        value = decimal_exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return signed_value(negative, value);
}

bool parse_bool(std::string_view text) {
    const std::string lowered = to_lower(text);
    if (lowered == "true") return true;
    if (lowered == "false") return false;
    fail("bool", kBoolInvalid);
}

// ------------------------------------------------------- lower-casing

namespace {

// The C.UTF-8 character-type tables, opened once and released when the
// library is unloaded (a host that dlcloses it gets the memory back); null
// when the platform lacks that locale, in which case only ASCII letters are
// lower-cased.
struct UnicodeCtype {
    locale_t handle = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    UnicodeCtype() = default;
    UnicodeCtype(const UnicodeCtype&) = delete;
    UnicodeCtype& operator=(const UnicodeCtype&) = delete;
    ~UnicodeCtype() {
        if (handle) freelocale(handle);
    }
};

locale_t unicode_ctype() {
    static const UnicodeCtype ctype;
    return ctype.handle;
}

// Decodes one UTF-8 sequence at `p` (at most `avail` bytes). Returns its
// length, or 0 for an invalid sequence (overlong forms, surrogates and values
// beyond U+10FFFF included).
size_t decode_utf8(const unsigned char* p, size_t avail, char32_t& cp) {
    const unsigned char b0 = p[0];
    size_t len;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (avail < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Unicode White_Space.
bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

}  // namespace

std::string to_lower(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const locale_t loc = unicode_ctype();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        if (bytes[i] < 0x80 || loc == nullptr) {
            out.push_back(ascii_lower(text[i]));
            ++i;
            continue;
        }
        char32_t cp = 0;
        const size_t len = decode_utf8(bytes + i, text.size() - i, cp);
        if (len == 0) {
            out.push_back(text[i]);
            ++i;
            continue;
        }
        i += len;
        if (cp == 0x130) {
            // Capital I with dot above is the one letter whose full lower
            // case is two characters: "i" and a combining dot above.
            out.append("i\xCC\x87");
            continue;
        }
        const wint_t lower = towlower_l(static_cast<wint_t>(cp), loc);
        const bool valid = lower <= 0x10FFFF && !(lower >= 0xD800 && lower <= 0xDFFF);
        append_utf8(out, valid ? static_cast<char32_t>(lower) : cp);
    }
    return out;
}

size_t valid_utf8_prefix(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        char32_t cp = 0;
        const size_t len = decode_utf8(bytes + i, text.size() - i, cp);
        if (len == 0) break;
        i += len;
    }
    return i;
}

std::string lower_trim(std::string_view text) {
    std::string lowered = to_lower(text);
    const auto* bytes = reinterpret_cast<const unsigned char*>(lowered.data());
    size_t begin = lowered.size();
    size_t end = 0;
    size_t i = 0;
    while (i < lowered.size()) {
        char32_t cp = 0;
        size_t len = decode_utf8(bytes + i, lowered.size() - i, cp);
        // An invalid byte is not white space.
        const bool space = len != 0 && is_white_space(cp);
        if (len == 0) len = 1;
        if (!space) {
            if (begin == lowered.size()) begin = i;
            end = i + len;
        }
        i += len;
    }
    if (begin >= end) return std::string();
    lowered.erase(end);
    lowered.erase(0, begin);
    return lowered;
}

}  // namespace mirelo
