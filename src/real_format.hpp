// Decimal text of 64-bit floating-point numbers: the shortest digits that
// read back to the same value, always written positionally (no exponent).
#pragma once

#include <cstddef>
#include <string>

namespace mirelo {

// |x| = 0.d1 d2 ... dn x 10^exponent with d1 != 0, dn != 0 and n <= 17: the
// fewest digits that a correctly rounding reader turns back into x; among
// those the nearest to x; on an exact tie the one of larger magnitude.
struct ShortestDigits {
    char digits[17];
    int count;
    int exponent;
};

// Shortest digits of a finite, non-zero x; the sign is ignored.
ShortestDigits shortest_digits(double x);
// Display text: positional, integral values without a point, "-" for
// negatives, "0" for both zeros, "NaN", "inf" and "-inf".
void append_real_display(std::string& out, double x);
std::string real_display(double x);
// Longest JSON number text (a subnormal written positionally).
inline constexpr size_t JSON_NUMBER_MAX = 400;
// Writes the JSON number text of `x` at `out`, which has room for
// JSON_NUMBER_MAX bytes, and returns its end: "null" for NaN and the
// infinities, "0.0" for both zeros, otherwise the display text with ".0"
// appended when it has no point.
char* write_json_number(char* out, double x);

}  // namespace mirelo
