#include "text_number.h"
#include "long_token_pieces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace {

// The whole text as one cell, as the reader hands it over; nullopt when it is refused.
template <typename T>
std::optional<T> whole_real(const std::string& text) {
    const number_scan<T> scan = scan_cell_real<T>(text.c_str());
    if (!scan.ok || scan.end != text.c_str() + text.size()) return std::nullopt;
    return scan.value;
}

std::optional<std::uint32_t> whole_integer(const std::string& text) {
    const number_scan<std::uint32_t> scan = scan_cell_integer(text.c_str());
    if (!scan.ok || scan.end != text.c_str() + text.size()) return std::nullopt;
    return scan.value;
}

template <typename T>
std::uint64_t bits(T value) {
    std::uint64_t b = 0;
    std::memcpy(&b, &value, sizeof(T));
    return b;
}

// The C library's reading of text, the reference for every accepted real.
template <typename T>
T reference(const std::string& text) {
    if constexpr (sizeof(T) == 4) {
        return std::strtof(text.c_str(), nullptr);
    } else {
        return std::strtod(text.c_str(), nullptr);
    }
}

template <typename T>
void expect_same_as_reference(const std::string& text) {
    const auto value = whole_real<T>(text);
    ASSERT_TRUE(value.has_value()) << text;
    EXPECT_EQ(bits(*value), bits(reference<T>(text))) << text << " as " << sizeof(T) * 8 << " bits";
}

TEST(ScanInteger, ReadsLikeStrtolWithBaseZero) {
    struct {
        std::string text;
        std::int32_t value;
        bool ok;
    } const cases[] = {
        {"4", 4, true},
        {"0x1F", 31, true},
        {"0X10", 16, true},
        {"017", 15, true},
        {"+7", 7, true},
        {"-0x10", -16, true},
        {"0", 0, true},
        {"", 0, false},
        {std::string(70, '0') + "4", 4, true},
        {std::string(70, '9'), 2147483647, true},
        {"\v4", 4, true},
        {"0x" + std::string(70, '0') + "1f", 31, true},
        {"99999999999", 2147483647, true},
        {"-99999999999", -2147483647 - 1, true},
        {"0xffffffffffffffffffffff", 2147483647, true},
        {"12abc", 12, false},
        {"1.5", 1, false},
        {"08", 0, false},
        {"0x", 0, false},
        {"0xg", 0, false},
        {"-", 0, false},
        {"4\r", 4, false},
        {" ", 0, false},
    };
    for (const auto& c : cases) {
        const integer_scan scan = scan_integer(c.text);
        EXPECT_EQ(scan.ok, c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(scan.value, c.value) << c.text;
        }
    }
}

TEST(CellInteger, WrapsModulo2To32) {
    struct {
        const char* text;
        std::uint32_t value;
    } const cases[] = {
        {"0", 0},
        {"42", 42},
        {"+7", 7},
        {"-1", 4294967295u},
        {"-9999", std::uint32_t(-9999)},
        {"4294967297", 1},
        {"70000", 70000},
        {"00012", 12},
        {"99999999999999999999", 1661992959u},
        // Whole values written with a decimal point.
        {"107.0", 107},
        {"3.", 3},
        {"-12.000", std::uint32_t(-12)},
        {".0", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(whole_integer(c.text), c.value) << c.text;
}

TEST(CellInteger, RefusesAnythingButAWholeNumber) {
    for (const char* text : {"", "-", "+", ".", "1.7", "3.01", "1e3", "0x10", "12abc", "1,5", "--1",
                             "+-1", "1.0.0", "nan", "inf", " 1"}) {
        EXPECT_FALSE(whole_integer(text).has_value()) << text;
    }
}

TEST(CellReal, MatchesTheCLibraryOnHardCases) {
    const char* cases[] = {
        "0",
        "-0",
        "+0.0",
        "1",
        "-1",
        "1520.224",
        "0.1",
        ".5",
        "5.",
        "1e10",
        "1E-10",
        "+3.25e+2",
        "16777217",
        "16777216.5",
        "16777218.999",
        "3.4028235e38",
        "3.4028236e38",
        "1e39",
        "-1e40",
        "1.17549435e-38",
        "1.4e-45",
        "7e-46",
        "1e-50",
        "2.2250738585072014e-308",
        "4.9e-324",
        "2e-324",
        "1.7976931348623157e308",
        "1.8e308",
        "1e-400",
        "9007199254740993",
        "0.30000000000000004",
        "123456789012345678901234567890",
        "1520.2239990234375",
        "0.000000000000000000000000000000000001",
        "2.00000011920928955078125",
        "2.000000119209289550781250001",                            // float halfway and above
        "1.00000000000000011102230246251565404236316680908203125",  // double halfway
        "1.00000000000000011102230246251565404236316680908203126",
        "7.038531e-26",
        "1e22",
        "1e23",
        "9999999999999999999",
        "18446744073709551616",
        "0.0000001e7",
        "100000000000000000000000e-23",
    };
    for (const char* text : cases) {
        expect_same_as_reference<float>(text);
        expect_same_as_reference<double>(text);
    }
}

TEST(CellReal, MatchesTheCLibraryOnRandomDecimals) {
    std::mt19937_64 random(20261208);
    for (int i = 0; i < 200000; ++i) {
        std::string text = (random() & 1) ? "-" : "";
        const int int_digits = static_cast<int>(random() % 12);
        const int frac_digits = static_cast<int>(random() % 22);
        for (int d = 0; d < int_digits; ++d)
            text += static_cast<char>('0' + random() % 10);
        if (frac_digits > 0 || int_digits == 0) {
            text += '.';
            for (int d = 0; d < std::max(frac_digits, 1); ++d) {
                text += static_cast<char>('0' + random() % 10);
            }
        }
        if (random() % 4 == 0) {
            text += 'e';
            text += std::to_string(static_cast<int>(random() % 90) - 45);
        }
        expect_same_as_reference<float>(text);
        expect_same_as_reference<double>(text);
        if (HasFailure()) break;
    }
}

// Decimals within a few digits of the midpoint between two floats, where reading through double
// would round twice, and the digit strings tools write for floats.
TEST(CellReal, FloatsNearMidpointsAndRoundTrips) {
    std::mt19937 random(7);
    std::uniform_int_distribution<std::uint32_t> any_bits(0, 0x7f7fffff);
    char text[64];
    for (int i = 0; i < 100000; ++i) {
        const std::uint32_t b = any_bits(random);
        float f;
        std::memcpy(&f, &b, sizeof f);
        const float next = std::nextafter(f, std::numeric_limits<float>::infinity());
        const double midpoint = (double(f) + double(next)) / 2;
        for (const char* format : {"%.15e", "%.16e", "%.17e", "%.18e"}) {
            std::snprintf(text, sizeof text, format, midpoint);
            expect_same_as_reference<float>(text);
        }
        for (const char* format : {"%.9g", "%.17g"}) {
            std::snprintf(text, sizeof text, format, double(f));
            expect_same_as_reference<float>(text);
        }
        if (HasFailure()) break;
    }
}

// Decimals of 16 to 19 digits next to the midpoint between two doubles, where a wider type's
// arithmetic would round twice, and the digit strings tools write for doubles and floats: in
// fixed and in exponent notation, over the exponents where such digits become doubles through
// the fast path.
TEST(CellReal, DoublesNearMidpointsAndRoundTrips) {
    for (const char* text :
         {"9007199254740993", "9007199254740993.0", "9007199254740992.999", "9007199254740993.001",
          "900719925474099.35", "4503599627370497.5", "1.0000000000000001110",
          "1.0000000000000001111", "1.0000000000000001109", "18014398509481990", "1e27",
          "123456789012345678e-27", "9999999999999999999e8"})
        expect_same_as_reference<double>(text);
    std::mt19937_64 random(11);
    char text[96];
    for (int i = 0; i < 100000; ++i) {
        const double d = std::ldexp(1.0 + static_cast<double>(random() >> 12) / 0x1p52,
                                    static_cast<int>(random() % 120) - 60);
        const double next = std::nextafter(d, std::numeric_limits<double>::infinity());
        // Exact where long double has more than 53 bits, as on every host this builds for.
        const long double midpoint = (static_cast<long double>(d) + next) / 2;
        for (const char* format : {"%.15Le", "%.16Le", "%.17Le", "%.18Le"}) {
            std::snprintf(text, sizeof text, format, midpoint);
            expect_same_as_reference<double>(text);
        }
        const int whole_digits = std::max(1, static_cast<int>(std::floor(std::log10(d))) + 1);
        std::snprintf(text, sizeof text, "%.*Lf", std::max(0, 18 - whole_digits), midpoint);
        expect_same_as_reference<double>(text);
        for (const char* format : {"%.17g", "%.16g"}) {
            std::snprintf(text, sizeof text, format, d);
            expect_same_as_reference<double>(text);
        }
        std::snprintf(text, sizeof text, "%.17f", static_cast<double>(static_cast<float>(d)));
        expect_same_as_reference<double>(text);
        if (HasFailure()) break;
    }
}

TEST(CellReal, WordsForInfinityAndNaN) {
    for (const char* text : {"inf", "INF", "Infinity", "+infinity", "iNfInItY"}) {
        EXPECT_EQ(whole_real<float>(text), std::numeric_limits<float>::infinity()) << text;
    }
    EXPECT_EQ(whole_real<double>("-inf"), -std::numeric_limits<double>::infinity());
    for (const char* text : {"nan", "NaN", "-nan", "NAN"}) {
        const auto f = whole_real<float>(text);
        ASSERT_TRUE(f.has_value()) << text;
        EXPECT_TRUE(std::isnan(*f)) << text;
        EXPECT_EQ(bits(*f), bits(reference<float>(text))) << text;  // quiet, sign as strtof
        EXPECT_EQ(bits(*whole_real<double>(text)), bits(reference<double>(text))) << text;
    }
}

TEST(CellReal, RefusesAnythingButADecimalNumber) {
    for (const char* text :
         {"",      "-",   "+",      ".",       "e5",        ".e5", "1e",  "1e+",   "1.5.2", "0x10",
          "0x1p3", "1,5", "nan(1)", "infinit", "infinityy", "in",  "--1", "1e5.5", "1d5",   "١"}) {
        EXPECT_FALSE(whole_real<float>(text).has_value()) << text;
        EXPECT_FALSE(whole_real<double>(text).has_value()) << text;
    }
}

TEST(LongToken, ShortFormKeepsTheValue) {
    const std::string thousand_nines(1000, '9');
    const std::string reals[] = {
        "1520.224",
        "0." + std::string(5000, '0') + "1e5010",
        std::string(3000, '0') + "1.5",
        "1." + std::string(900, '0') + "1",  // beyond 800 digits, only the sticky digit is left
        "2.00000011920928955078125" + std::string(1000, '0') + "1",
        "2.00000011920928955078125" + std::string(1000, '0'),
        "-" + thousand_nines + "e-1000",
        thousand_nines + "e-999999999999999",
        "0.000",
        "-0e99",
    };
    for (const std::string& text : reals) {
        for (const std::size_t piece : {std::size_t(1), std::size_t(7), text.size()}) {
            const std::string short_form = shortened(text, false, piece);
            EXPECT_LT(short_form.size(), 830u);
            EXPECT_EQ(bits(*whole_real<float>(short_form)), bits(reference<float>(text)))
                << text.substr(0, 40);
            EXPECT_EQ(bits(*whole_real<double>(short_form)), bits(reference<double>(text)))
                << text.substr(0, 40);
        }
    }
    EXPECT_EQ(whole_integer(shortened("-" + thousand_nines, true, 13)),
              std::uint32_t(0) - *whole_integer(std::to_string(*whole_integer(thousand_nines))));
    EXPECT_EQ(whole_integer(shortened("4294967297." + std::string(2000, '0'), true, 64)), 1u);
}

// With --round a long real is cut short to the integer it rounds to: its low 32 bits need the
// digits before the point however far from the first they lie.
TEST(LongToken, RoundedShortFormKeepsTheRoundedValue) {
    const std::string zeros(3000, '0');
    std::string pattern;
    for (int i = 0; i < 300; ++i)
        pattern += "1234567";
    const std::string texts[] = {
        "1" + std::string(300000, '0') + "7",
        "-1" + zeros + "7.5",
        "1" + zeros + "7.25",
        "1" + zeros + "7." + std::string(3000, '4') + "9",
        "1" + zeros + "7." + std::string(3000, '9'),
        "1" + zeros + "75e-1",
        "1" + zeros + "7.25e1",
        "-" + pattern + "." + pattern,
        "4294967295." + std::string(2000, '9'),
        "0." + std::string(5000, '0') + "5e5001",
        "0." + std::string(3000, '4') + "9",
        "-0." + std::string(3000, '9'),
        std::string(3000, '9'),
        std::string(3000, '9') + ".5",
        "-" + std::string(3000, '9') + "e-2990",
        "00000" + zeros + "17.5",
        "1" + zeros + "e40",
        "-0." + zeros,
    };
    for (const std::string& text : texts) {
        const number_scan<std::int64_t> full = scan_cell_rounded((text + " ").c_str());
        ASSERT_TRUE(full.ok) << text.substr(0, 40);
        for (const std::size_t piece : {std::size_t(1), std::size_t(7), text.size()}) {
            const std::string short_form = shortened(text, false, piece, true) + " ";
            EXPECT_LT(short_form.size(), 30u) << text.substr(0, 40);
            const number_scan<std::int64_t> scan = scan_cell_rounded(short_form.c_str());
            EXPECT_TRUE(scan.ok && *scan.end == ' ') << short_form;
            EXPECT_EQ(scan.value, full.value) << text.substr(0, 40) << " as " << short_form;
        }
    }
    // A point the exponent moves to where no digit was kept cannot be rounded: refused, not wrong.
    EXPECT_EQ(shortened(pattern + pattern + "e-1000", false, 100, true), "?");
    EXPECT_EQ(shortened("1.5e", false, 1, true), "?");
}

TEST(LongToken, RefusedFormsStayRefused) {
    for (const std::string& text :
         {std::string(2000, '1') + "x", std::string(2000, '1') + "e", std::string(2000, '1') + ".5",
          std::string(2001, '.'), std::string(2000, '-')}) {
        EXPECT_FALSE(whole_integer(shortened(text, true, 100)).has_value());
    }
    for (const std::string& text :
         {std::string(2000, '1') + "x", std::string(2000, '1') + "e", std::string(2000, '1') + "e+",
          std::string(2000, '1') + "e5.", "1e" + std::string(2000, '5') + "-"}) {
        EXPECT_FALSE(whole_real<double>(shortened(text, false, 100)).has_value());
    }
}

}  // namespace
