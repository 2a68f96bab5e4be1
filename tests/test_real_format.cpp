#include "real_format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "text_convert.hpp"

namespace mirelo {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::string json_number(double x) {
    char buf[JSON_NUMBER_MAX];
    return std::string(buf, write_json_number(buf, x));
}

std::string digits_of(const ShortestDigits& s) { return std::string(s.digits, static_cast<size_t>(s.count)); }

TEST(JsonNumber, WritesPositionalShortestText) {
    const struct {
        double value;
        std::string text;
    } cases[] = {
        {3.0, "3.0"},
        {-0.0, "0.0"},
        {0.0, "0.0"},
        {0.25, "0.25"},
        {0.1, "0.1"},
        {0.1 + 0.2, "0.30000000000000004"},
        {2.0 / 3.0, "0.6666666666666666"},
        {1e-7, "0.0000001"},
        {-2.5, "-2.5"},
        {-1e-5, "-0.00001"},
        {100.0, "100.0"},
        {2020.0, "2020.0"},
        {1e16, "10000000000000000.0"},
        {1e21, "1000000000000000000000.0"},
        {1e300, "1" + std::string(300, '0') + ".0"},
        {DBL_MAX, "17976931348623157" + std::string(292, '0') + ".0"},
        {-DBL_MAX, "-17976931348623157" + std::string(292, '0') + ".0"},
        {std::numeric_limits<double>::denorm_min(), "0." + std::string(323, '0') + "5"},
        {1125899906842624.25, "1125899906842624.3"},  // 2^50 + 1/4: a tie, the larger wins
        {kNaN, "null"},
        {kInf, "null"},
        {-kInf, "null"},
    };
    for (const auto& c : cases) EXPECT_EQ(json_number(c.value), c.text);
}

TEST(JsonNumber, WritesAtTheGivenPlaceAndReturnsItsEnd) {
    char buf[2 * JSON_NUMBER_MAX] = "[";
    char* p = write_json_number(buf + 1, 1.5);
    *p++ = ',';
    p = write_json_number(p, kNaN);
    EXPECT_EQ(std::string(buf, p), "[1.5,null");
}

TEST(RealDisplay, WritesPositionalTextWithoutPointForIntegers) {
    const struct {
        double value;
        std::string text;
    } cases[] = {
        {10.0, "10"},
        {0.0, "0"},
        {-0.0, "0"},
        {1e20, "100000000000000000000"},
        {1e23, "100000000000000000000000"},
        {0.5, "0.5"},
        {0.1, "0.1"},
        {1.5e-7, "0.00000015"},
        {-20.5, "-20.5"},
        {123.456, "123.456"},
        {kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(real_display(c.value), c.text);
}

TEST(ShortestDigits, GivesDigitsAndPointPosition) {
    const struct {
        double value;
        std::string digits;
        int exponent;
    } cases[] = {
        {0.1, "1", 0},
        {-0.1, "1", 0},
        {123.45, "12345", 3},
        {1e23, "1", 24},
        {std::numeric_limits<double>::denorm_min(), "5", -323},
        {DBL_MAX, "17976931348623157", 309},
        {0.1 + 0.2, "30000000000000004", 0},
    };
    for (const auto& c : cases) {
        const ShortestDigits s = shortest_digits(c.value);
        EXPECT_EQ(digits_of(s), c.digits) << c.value;
        EXPECT_EQ(s.exponent, c.exponent) << c.value;
    }
}

// Independent reference for the digit choice: start from the exact decimal
// expansion of |x| and, for each length n, take the n-digit strings just
// below and just above it; keep the ones that read back to x, prefer the
// nearer one and, when both are equally near, the upper one.
ShortestDigits reference_digits(double x) {
    const double a = std::fabs(x);
    char exact[900];
    std::snprintf(exact, sizeof exact, "%.780e", a);  // exact: every double has < 770 significant digits
    std::string digits;
    const char* p = exact;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits.push_back(*p);
    }
    const int exponent = std::atoi(p + 1) + 1;  // |x| = 0.digits x 10^exponent

    auto reads_back = [&](const std::string& ds, int k) {
        const std::string text = "0." + ds + "e" + std::to_string(k);
        return std::strtod(text.c_str(), nullptr) == a;
    };
    for (int n = 1; n <= 17; ++n) {
        std::string lower = digits.substr(0, static_cast<size_t>(n));
        const std::string rest = digits.substr(static_cast<size_t>(n));
        const size_t rest_nonzero = rest.find_first_not_of('0');
        std::string chosen;
        int chosen_exponent = exponent;
        if (rest_nonzero == std::string::npos) {
            chosen = lower;  // |x| itself has at most n digits
        } else {
            std::string upper = lower;
            int upper_exponent = exponent;
            int i = n - 1;
            while (i >= 0 && upper[static_cast<size_t>(i)] == '9') upper[static_cast<size_t>(i--)] = '0';
            if (i < 0) {
                upper.pop_back();
                upper.insert(upper.begin(), '1');
                ++upper_exponent;
            } else {
                ++upper[static_cast<size_t>(i)];
            }
            const bool lower_ok = reads_back(lower, exponent);
            const bool upper_ok = reads_back(upper, upper_exponent);
            if (!lower_ok && !upper_ok) continue;
            // Compare the dropped part with one half of a unit in the last place.
            const bool below_half = rest[0] < '5';
            const bool take_upper = upper_ok && (!lower_ok || !below_half);
            chosen = take_upper ? upper : lower;
            chosen_exponent = take_upper ? upper_exponent : exponent;
        }
        while (chosen.size() > 1 && chosen.back() == '0') chosen.pop_back();
        ShortestDigits s{};
        s.count = static_cast<int>(chosen.size());
        chosen.copy(s.digits, chosen.size());
        s.exponent = chosen_exponent;
        return s;
    }
    ADD_FAILURE() << "no digit string of at most 17 digits reads back " << x;
    return ShortestDigits{};
}

void expect_reference_digits(double x) {
    const ShortestDigits expected = reference_digits(x);
    const ShortestDigits actual = shortest_digits(x);
    ASSERT_EQ(digits_of(actual), digits_of(expected)) << std::hexfloat << x;
    ASSERT_EQ(actual.exponent, expected.exponent) << std::hexfloat << x;
}

TEST(ShortestDigits, MatchesExactReferenceIncludingTies) {
    std::mt19937_64 rng(20240607);
    // Arbitrary bit patterns cover every binary exponent.
    for (int i = 0; i < 10000; ++i) {
        const double x = std::bit_cast<double>(rng());
        if (std::isfinite(x) && x != 0) expect_reference_digits(x);
    }
    // Exact ties: N + 1/4 and N + 3/4 for N in [2^50, 2^51) have 18
    // significant digits, and the two nearest 17-digit strings are equally
    // near; likewise quarters of numbers near 2^50 / 10^k.
    std::uniform_int_distribution<uint64_t> big(uint64_t{1} << 50, (uint64_t{1} << 51) - 1);
    for (int i = 0; i < 2000; ++i) {
        const double n = static_cast<double>(big(rng));
        expect_reference_digits(n + 0.25);
        expect_reference_digits(n + 0.75);
        expect_reference_digits((n + 0.25) / 1024);
        expect_reference_digits((n + 0.25) * 4096);
    }
    // Short decimals and small integers, where ties between short strings
    // are possible (for example 2.5 keeps "25", 0.125 keeps "125").
    for (int i = 1; i < 5000; ++i) {
        expect_reference_digits(i / 8.0);
        expect_reference_digits(i / 1024.0);
        expect_reference_digits(static_cast<double>(i) * 1e15);
        expect_reference_digits(std::ldexp(static_cast<double>(i), 60));
    }
    for (double x : {1125899906842624.25, std::numeric_limits<double>::denorm_min(), DBL_MAX, DBL_MIN, 5e-324, 1e23,
                     9007199254740993.0, 0.3}) {
        expect_reference_digits(x);
    }
}

TEST(RealDisplay, RoundTripsThroughTheReader) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> ordinary(-1e6, 1e6);
    for (int i = 0; i < 300000; ++i) {
        const double x = (i % 2 == 0) ? std::bit_cast<double>(rng()) : ordinary(rng);
        if (!std::isfinite(x) || x == 0) continue;
        const ShortestDigits s = shortest_digits(x);
        ASSERT_LE(s.count, 17);
        ASSERT_NE(s.digits[0], '0');
        ASSERT_NE(s.digits[s.count - 1], '0');
        const std::string display = real_display(x);
        ASSERT_EQ(std::bit_cast<uint64_t>(parse_real(display)), std::bit_cast<uint64_t>(x)) << display;
        const std::string json = json_number(x);
        ASSERT_EQ(json, display.find('.') == std::string::npos ? display + ".0" : display);
    }
}

}  // namespace
}  // namespace mirelo
