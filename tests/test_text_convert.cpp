#include "text_convert.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "shared_error.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

using testing::stop_of;

constexpr const char* kEmpty = "cannot parse integer from empty string";
constexpr const char* kInvalid = "invalid digit found in string";
constexpr const char* kOverflow = "number too large to fit in target type";
constexpr const char* kUnderflow = "number too small to fit in target type";

TEST(ParseU32, AcceptsOptionalPlusAndLeadingZeros) {
    const struct {
        std::string text;
        uint32_t value;
    } cases[] = {
        {"0", 0},          {"7", 7},
        {"+7", 7},         {"007", 7},
        {"+0", 0},         {"4294967295", 4294967295u},
        {"000000000000000000004294967295", 4294967295u},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_u32(c.text), c.value) << c.text;
}

TEST(ParseU32, RejectsWithRuleAndKind) {
    const struct {
        std::string text;
        const char* kind;
    } cases[] = {
        {"", kEmpty},           {"+", kEmpty},         {" 7", kInvalid},      {"7 ", kInvalid},
        {"7.0", kInvalid},      {"-1", kInvalid},      {"-", kInvalid},       {"++7", kInvalid},
        {"0x10", kInvalid},     {"4294967296", kOverflow},
        {"99999999999999999999999999999999", kOverflow},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stop_of([&] { parse_u32(c.text); }).message(), std::string("u32: ") + c.kind) << '"' << c.text << '"';
    }
}

TEST(ParseI32, AcceptsBothSignsOverTheFullRange) {
    const struct {
        std::string text;
        int32_t value;
    } cases[] = {
        {"0", 0},        {"-0", 0},  {"+5", 5}, {"-5", -5}, {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<int32_t>::min()},  {"-0002147483648", std::numeric_limits<int32_t>::min()},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_i32(c.text), c.value) << c.text;
}

TEST(ParseI32, RejectsWithRuleAndKind) {
    const struct {
        std::string text;
        const char* kind;
    } cases[] = {
        {"", kEmpty},           {"-", kEmpty},          {"+", kEmpty},
        {"+-1", kInvalid},      {"--1", kInvalid},      {"1-", kInvalid},
        {" 1", kInvalid},       {"1.5", kInvalid},      {"2147483648", kOverflow},
        {"+99999999999", kOverflow},                    {"-2147483649", kUnderflow},
        {"-99999999999999999999", kUnderflow},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stop_of([&] { parse_i32(c.text); }).message(), std::string("i32: ") + c.kind) << '"' << c.text << '"';
    }
}

// Bitwise equality, so that the sign of zero counts.
void expect_same_double(double actual, double expected, const std::string& text) {
    EXPECT_EQ(std::bit_cast<uint64_t>(actual), std::bit_cast<uint64_t>(expected))
        << '"' << text.substr(0, 60) << "\" read as " << actual << ", expected " << expected;
}

TEST(ParseReal, ReadsDecimalAndSpecialForms) {
    const double inf = std::numeric_limits<double>::infinity();
    const double min_sub = std::numeric_limits<double>::denorm_min();
    const struct {
        std::string text;
        double value;
    } cases[] = {
        {"1e3", 1000.0},
        {"-0", -0.0},
        {"0", 0.0},
        {".5", 0.5},
        {"5.", 5.0},
        {"-.5", -0.5},
        {"5.e1", 50.0},
        {".e5", 0.0},
        {"-.e5", -0.0},
        {"1E+2", 100.0},
        {"1e-2", 0.01},
        {"0.1", 0.1},
        {"-2.5", -2.5},
        {"+3", 3.0},
        {"00012.50", 12.5},
        {"inf", inf},
        {"+inf", inf},
        {"-inf", -inf},
        // Range: beyond the format is infinity, below the smallest subnormal zero.
        {"1.7976931348623157e308", DBL_MAX},
        {"1.7976931348623158e308", DBL_MAX},
        {"1.7976931348623159e308", inf},
        {"1e400", inf},
        {"-1e400", -inf},
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        {"4.9406564584124654e-324", min_sub},
        {"2.4703282292062328e-324", min_sub},
        {"2.4703282292062327e-324", 0.0},
        {"2.2250738585072011e-308", 2.2250738585072009e-308},
        {"1e99999999999999999999999999999", inf},
        {"1e-99999999999999999999999999999", 0.0},
        {"0e99999999999999999999999999999", 0.0},
        {"1e" + std::string(10000, '0') + "5", 1e5},
        // Digits far from the point are aligned with the exponent.
        {"0." + std::string(400, '0') + "1e400", 0.1},
        {"1" + std::string(10000, '0') + "e-10000", 1.0},
        {std::string(10000, '9'), inf},
        {"0." + std::string(10000, '0') + "1", 0.0},
        // Long digit strings are rounded correctly: 1 + 2^-53 lies exactly
        // halfway between 1 and the next double and rounds to even (1); any
        // non-zero digit after it, however far, rounds up.
        {"1.00000000000000011102230246251565404236316680908203125", 1.0},
        {"1.00000000000000011102230246251565404236316680908203125" + std::string(2000, '0'), 1.0},
        {"1.00000000000000011102230246251565404236316680908203125" + std::string(2000, '0') + "1",
         std::nextafter(1.0, 2.0)},
        {"1.000000000000000111022302462515654042363166809082031249" + std::string(2000, '9'), 1.0},
    };
    for (const auto& c : cases) expect_same_double(parse_real(c.text), c.value, c.text);
}

TEST(ParseReal, ReadsNaNOnlyInThatLetterCase) {
    EXPECT_TRUE(std::isnan(parse_real("NaN")));
    EXPECT_TRUE(std::isnan(parse_real("+NaN")));
    EXPECT_TRUE(std::isnan(parse_real("-NaN")));
    EXPECT_TRUE(std::signbit(parse_real("-NaN")));
}

TEST(ParseReal, RejectsMalformedText) {
    EXPECT_EQ(stop_of([] { parse_real(""); }).message(), "real: cannot parse float from empty string");
    const char* invalid[] = {"nan",  "NAN",  "Inf",  "INF", "Infinity", "infinity", "inff", "-nan", "0x10",
                             "1,5",  " 1",   "1 ",   "e5",  "E5",       "-e5",      ".",    "-",    "+",
                             "+-1",  "--1",  "1e",   "1e+", "1e-",      ".e",       "1.2.3", "1e5.0", "1e5e5",
                             "1d5",  "1_000", "- 1", "NaN ", "+inf5",   "\u00a01" /* no-break space, 1 */};
    for (const char* text : invalid) {
        EXPECT_EQ(stop_of([&] { parse_real(text); }).message(), "real: invalid float literal") << '"' << text << '"';
    }
}

TEST(ParseBool, LowerCasesThenRequiresTrueOrFalse) {
    EXPECT_TRUE(parse_bool("true"));
    EXPECT_TRUE(parse_bool("TRUE"));
    EXPECT_TRUE(parse_bool("True"));
    EXPECT_FALSE(parse_bool("false"));
    EXPECT_FALSE(parse_bool("FaLsE"));
    for (const char* text : {"1", "0", "yes", " true", "true ", "", "tru", "truee", "t"}) {
        EXPECT_EQ(stop_of([&] { parse_bool(text); }).message(), "bool: provided string was not `true` or `false`")
            << '"' << text << '"';
    }
}

TEST(ToLower, LowerCasesUnicodeAndKeepsInvalidBytes) {
    const struct {
        std::string text;
        std::string lowered;
    } cases[] = {
        {"GWP", "gwp"},
        {"a1_3", "a1_3"},
        {"\xC3\x84\xC3\x96\xC3\x9C", "\xC3\xA4\xC3\xB6\xC3\xBC"},              // ÄÖÜ
        {"\xCE\x91\xCE\x92\xCE\x93", "\xCE\xB1\xCE\xB2\xCE\xB3"},              // Greek capitals
        {"\xD0\x96", "\xD0\xB6"},                                              // Cyrillic Zhe
        {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},                              // Deseret, 4 bytes
        {"\xC4\xB0", "i\xCC\x87"},                                             // I with dot above
        {"\xC4\xB0STANBUL", "i\xCC\x87stanbul"},                               // ... in a word, no Turkish rule
        {"\xE2\x84\xAA", "k"},                                                 // Kelvin sign
        {"\xE2\x84\xAAG", "kg"},
        {"\xC8\xBA", "\xE2\xB1\xA5"},                                           // two bytes become three
        {"\xE2\x84\xA6", "\xCF\x89"},                                           // Ohm sign
        // Capital sigma: final form at the end of a word only.
        {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82"},          // ΟΔΟΣ
        {"\xCE\x91\xCE\xA3 \xCE\x92", "\xCE\xB1\xCF\x82 \xCE\xB2"},                  // ΑΣ Β
        {"\xCE\x91\xCE\xA3\xCE\x91", "\xCE\xB1\xCF\x83\xCE\xB1"},                  // ΑΣΑ
        {"\xCE\xA3", "\xCF\x83"},                                           // Σ alone
        {"1\xCE\xA3", "1\xCF\x83"},                                          // no letter before it
        {"\xCE\x91'\xCE\xA3", "\xCE\xB1'\xCF\x82"},                              // Α'Σ: the apostrophe is skipped
        {"\xCE\x91\xCE\xA3'\xCE\x92", "\xCE\xB1\xCF\x83'\xCE\xB2"},                // ΑΣ'Β: a letter follows
        {"\xCA\xB0\xCE\xA3", "\xCA\xB0\xCF\x83"},                                // modifier letter h before it
        {"A\xFF" "B", "a\xFF" "b"},                                            // stray byte
        {"A\xC3", "a\xC3"},                                                    // truncated sequence
        {"\xC0\x80Z", "\xC0\x80z"},                                            // overlong form
        {"\xED\xA0\x80Q", "\xED\xA0\x80q"},                                    // surrogate
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(to_lower(c.text), c.lowered) << c.text;
}

TEST(LowerTrim, StripsUnicodeWhiteSpaceAtBothEnds) {
    const struct {
        std::string text;
        std::string result;
    } cases[] = {
        {"GWP", "gwp"},
        {" gwp\xC2\xA0", "gwp"},
        {"g wp", "g wp"},
        {"\t PENR \n\r\v\f", "penr"},
        {"\xE3\x80\x80" "A\xE2\x80\xA9", "a"},          // ideographic space, paragraph separator
        {"\xC2\x85\xE1\x9A\x80x\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\x9F", "x"},
        {"\xE2\x80\x8B" "a", "\xE2\x80\x8B" "a"},        // zero width space is no white space
        {"\xE1\xA0\x8E" "a", "\xE1\xA0\x8E" "a"},        // nor is the Mongolian vowel separator
        {"\xE2\x80\x83\xE2\x84\xAAG\xC2\xA0", "kg"},      // em space, Kelvin sign, no-break space
        {"   ", ""},
        {"", ""},
        {" \xFF ", "\xFF"},
    };
    for (const auto& c : cases) EXPECT_EQ(lower_trim(c.text), c.result) << c.text;
}

}  // namespace
}  // namespace mirelo
