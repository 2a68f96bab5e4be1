#include "real_format.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace mirelo {

namespace {

// Powers of five that fit in 64 bits: 5^0 ... 5^27.
constexpr auto kPow5 = [] {
    std::array<uint64_t, 28> table{};
    uint64_t power = 1;
    for (auto& entry : table) {
        entry = power;
        power *= 5;
    }
    return table;
}();
constexpr int kMaxPow5 = static_cast<int>(kPow5.size()) - 1;

// True when the positive, finite, non-zero `a` lies exactly halfway between
// the digit strings D and D + 1, both scaled by 10^q:
// a == (2D + 1) * 10^q / 2 == (2D + 1) * 5^q * 2^(q - 1).
bool is_exact_midpoint(double a, uint64_t d, int q) {
    const uint64_t bits = std::bit_cast<uint64_t>(a);
    const int biased = static_cast<int>(bits >> 52);
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    int exp2 = -1074;
    if (biased != 0) {
        mantissa |= uint64_t{1} << 52;
        exp2 = biased - 1075;
    }
    // a == mantissa * 2^exp2 with an odd mantissa.
    const int zeros = std::countr_zero(mantissa);
    mantissa >>= zeros;
    exp2 += zeros;

    // 2D + 1 and 5^q are odd, so the powers of two must agree exactly.
    if (exp2 != q - 1) return false;
    using u128 = unsigned __int128;
    const uint64_t odd = 2 * d + 1;  // d < 10^17, so no overflow
    if (q >= 0) {
        if (q > kMaxPow5) return false;
        return static_cast<u128>(odd) * kPow5[q] == mantissa;
    }
    if (-q > kMaxPow5) return false;
    return static_cast<u128>(mantissa) * kPow5[-q] == odd;
}

// Writes the positional text of |x| (x finite, non-zero), with a leading
// "-" when x is negative, into `p`. Returns the end of the text and sets
// `has_point` when the text has a fraction. At most 327 characters.
char* write_positional(char* p, double x, bool& has_point) {
    const ShortestDigits s = shortest_digits(x);
    if (std::signbit(x)) *p++ = '-';
    const int k = s.exponent;
    const int n = s.count;
    if (k <= 0) {
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', static_cast<size_t>(-k));
        p += -k;
        std::memcpy(p, s.digits, static_cast<size_t>(n));
        p += n;
        has_point = true;
    } else if (k < n) {
        std::memcpy(p, s.digits, static_cast<size_t>(k));
        p += k;
        *p++ = '.';
        std::memcpy(p, s.digits + k, static_cast<size_t>(n - k));
        p += n - k;
        has_point = true;
    } else {
        std::memcpy(p, s.digits, static_cast<size_t>(n));
        p += n;
        std::memset(p, '0', static_cast<size_t>(k - n));
        p += k - n;
        has_point = false;
    }
    return p;
}

// Longest positional text: "-0." followed by 323 zeros and one digit, or
// "-" with 309 integral digits and ".0".
constexpr size_t kBufferSize = 400;

}  // namespace

ShortestDigits shortest_digits(double x) {
    const double a = std::fabs(x);
    // Scientific form of the shortest round-trip digits: d[.ddd]e(+|-)xx.
    char buf[40];
    const char* end = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific).ptr;
    ShortestDigits s{};
    const char* p = buf;
    s.digits[s.count++] = *p++;
    if (*p == '.') {
        ++p;
        while (*p != 'e') s.digits[s.count++] = *p++;
    }
    ++p;  // 'e'
    const bool negative_exponent = *p == '-';
    ++p;  // sign
    int exponent = 0;
    std::from_chars(p, end, exponent);
    s.exponent = (negative_exponent ? -exponent : exponent) + 1;

    // std::to_chars settles a tie between two equally near digit strings
    // towards an even last digit; the larger magnitude is wanted instead.
    // Only an even last digit can be the result of such a tie, and then the
    // other candidate is the same string with that digit one higher.
    const int last = s.digits[s.count - 1] - '0';
    if (last % 2 == 0) {
        uint64_t d = 0;
        for (int i = 0; i < s.count; ++i) d = d * 10 + static_cast<uint64_t>(s.digits[i] - '0');
        if (is_exact_midpoint(a, d, s.exponent - s.count)) ++s.digits[s.count - 1];
    }
    return s;
}

void append_real_display(std::string& out, double x) {
    if (std::isnan(x)) {
        out.append("NaN");
    } else if (std::isinf(x)) {
        out.append(x > 0 ? "inf" : "-inf");
    } else if (x == 0) {
        out.push_back('0');
    } else {
        char buf[kBufferSize];
        bool has_point = false;
        const char* end = write_positional(buf, x, has_point);
        out.append(buf, static_cast<size_t>(end - buf));
    }
}

std::string real_display(double x) {
    std::string out;
    append_real_display(out, x);
    return out;
}

char* write_json_number(char* out, double x) {
    static_assert(kBufferSize <= JSON_NUMBER_MAX);
    if (!std::isfinite(x)) return std::copy_n("null", 4, out);
    if (x == 0) return std::copy_n("0.0", 3, out);
    bool has_point = false;
    char* end = write_positional(out, x, has_point);
    if (!has_point) {
        *end++ = '.';
        *end++ = '0';
    }
    return end;
}

}  // namespace mirelo
