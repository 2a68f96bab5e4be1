// Strict conversions of input attribute texts, and Unicode lower-casing.
// Lower-casing and white space follow the Unicode tables of the ICU library
// alone: no locale of the process or the host changes a result.
//
// Nothing is trimmed before a conversion. A text that does not convert is a
// fatal stop whose message is "<rule>: <kind>", for example
// "u32: invalid digit found in string".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mirelo {

// Optional "+", then one or more decimal digits; at most 4294967295.
uint32_t parse_u32(std::string_view text);
// Optional "+" or "-", then one or more decimal digits; 32-bit signed range.
int32_t parse_i32(std::string_view text);
// Optional sign, then "inf", "NaN" or a decimal number; correctly rounded.
double parse_real(std::string_view text);
// Lower-cased text that must then be exactly "true" or "false".
bool parse_bool(std::string_view text);
// Full Unicode lower-casing, then Unicode White_Space stripped at both ends.
std::string lower_trim(std::string_view text);
// Full Unicode lower-casing of UTF-8 text without language rules (U+0130
// becomes "i" and a combining dot above; a final sigma becomes U+03C2);
// invalid UTF-8 bytes are kept.
std::string to_lower(std::string_view text);
// Length of the longest prefix of `text` that is well-formed UTF-8 (no
// overlong forms, no surrogates, nothing above U+10FFFF).
size_t valid_utf8_prefix(std::string_view text);

}  // namespace mirelo
