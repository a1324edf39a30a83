#include "formats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

TEST(ParseFormat, NamesAbbreviationsAndCase) {
    struct {
        const char* typed;
        element_format format;
    } const cases[] = {
        {"char", FMT_CHAR},
        {"c", FMT_CHAR},
        {"character", FMT_CHAR},
        {"uchar", FMT_UCHAR},
        {"UCHAR", FMT_UCHAR},
        {"shortint", FMT_SHORTINT},
        {"ushortint", FMT_USHORTINT},
        {"ushort", FMT_USHORTINT},
        {"integer", FMT_INTEGER},
        {"UInteger", FMT_UINTEGER},
        {"longinteger", FMT_LONGINTEGER},
        {"long", FMT_LONGINTEGER},
        {"ulonginteger", FMT_ULONGINTEGER},
        {"Float", FMT_FLOAT},
        {"double", FMT_DOUBLE},
        {"dbl", FMT_DOUBLE},
        {"a", FMT_ASCII},
        {"ascii", FMT_ASCII},
        // Trailing digits that state the width in bits or bytes.
        {"float32", FMT_FLOAT},
        {"f4", FMT_FLOAT},
        {"int32", FMT_INTEGER},
        {"short16", FMT_SHORTINT},
        {"double64", FMT_DOUBLE},
        {"D8", FMT_DOUBLE},
        {"char8", FMT_CHAR},
        {"uint32", FMT_UINTEGER},
        {"ushort2", FMT_USHORTINT},
    };
    for (const auto& c : cases) {
        element_format format = FMT_ASCII;
        EXPECT_FALSE(parse_format(c.typed, format).failed()) << c.typed;
        EXPECT_EQ(format, c.format) << c.typed;
    }
}

TEST(ParseFormat, RefusedNames) {
    // Unknown kind letters, unsigned kinds that do not exist, and width claims that would give a
    // different layout than the name suggests.
    for (const char* name :
         {"", "u", "unsigned", "bool", "ufloat", "udouble", "uascii", "x", "float64", "int16",
          "int8", "uint8", "integer8", "short8", "double32", "ascii8", "char16", "f2"}) {
        EXPECT_FALSE(format_from_name(name).has_value()) << name;
    }
}

TEST(ParseFormat, RefusalNamesTheLowerCasedName) {
    element_format format = FMT_ASCII;
    const failure f = parse_format("UNsigned", format);
    EXPECT_EQ(f.message, MSG_BAD_FORMAT_NAME);
    EXPECT_EQ(f.detail, "unsigned");
    EXPECT_EQ(
        f.hint.rfind("formats are char (Int8, i1), uchar (Byte, u1), shortint (Int16, i2)", 0), 0u);
    EXPECT_NE(f.hint.find("double (Float64, f8) as GDAL and numpy name them, and ascii; rastmill "
                          "FORMAT SOURCE TARGET"),
              std::string::npos);
    EXPECT_EQ(parse_format("", format).detail, "");
    EXPECT_TRUE(parse_format("", format).failed());
}

template <typename S, typename T>
T convert_one(element_format source_format, S value, element_format target_format) {
    T out{};
    convert_row(1, source_format, &value, target_format, &out);
    return out;
}

template <typename T>
std::uint64_t bits_of(T value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(T));
    return bits;
}

TEST(ConvertRow, IntegerNarrowingKeepsLowBits) {
    EXPECT_EQ((convert_one<std::uint8_t, std::int8_t>(FMT_UCHAR, 200, FMT_CHAR)), -56);
    EXPECT_EQ((convert_one<std::int8_t, std::uint8_t>(FMT_CHAR, -56, FMT_UCHAR)), 200);
    EXPECT_EQ((convert_one<std::uint8_t, std::int32_t>(FMT_UCHAR, 255, FMT_INTEGER)), 255);
    EXPECT_EQ((convert_one<std::uint16_t, std::int16_t>(FMT_USHORTINT, 65535, FMT_SHORTINT)), -1);
    EXPECT_EQ((convert_one<std::int16_t, std::uint32_t>(FMT_SHORTINT, -1, FMT_UINTEGER)),
              4294967295u);
    EXPECT_EQ((convert_one<std::int32_t, std::int8_t>(FMT_INTEGER, 300, FMT_CHAR)), 44);
    EXPECT_EQ((convert_one<std::int32_t, std::uint16_t>(FMT_LONGINTEGER, -1, FMT_USHORTINT)),
              65535);
    EXPECT_EQ(
        (convert_one<std::uint32_t, std::int32_t>(FMT_ULONGINTEGER, 4294967295u, FMT_LONGINTEGER)),
        -1);
}

TEST(ConvertRow, FromFloatingPointTruncatesTowardZero) {
    EXPECT_EQ((convert_one<float, std::int32_t>(FMT_FLOAT, 2.75f, FMT_INTEGER)), 2);
    EXPECT_EQ((convert_one<double, std::int32_t>(FMT_DOUBLE, -2.75, FMT_INTEGER)), -2);
    EXPECT_EQ((convert_one<double, std::uint32_t>(FMT_DOUBLE, -2.75, FMT_UINTEGER)), 4294967294u);
    EXPECT_EQ((convert_one<double, std::uint32_t>(FMT_DOUBLE, 3000000000.0, FMT_UINTEGER)),
              3000000000u);
    EXPECT_EQ((convert_one<double, std::uint32_t>(FMT_DOUBLE, -1.0, FMT_ULONGINTEGER)),
              4294967295u);
    EXPECT_EQ((convert_one<double, std::int8_t>(FMT_DOUBLE, 300.9, FMT_CHAR)), 44);
    EXPECT_EQ((convert_one<float, std::uint16_t>(FMT_FLOAT, -1.5f, FMT_USHORTINT)), 65535);
    // Out of range and NaN give a fixed value; the run goes on.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ((convert_one<double, std::int32_t>(FMT_DOUBLE, nan, FMT_INTEGER)), 0);
    EXPECT_EQ((convert_one<double, std::int32_t>(FMT_DOUBLE, 1e300, FMT_INTEGER)), INT32_MAX);
    EXPECT_EQ((convert_one<double, std::int32_t>(FMT_DOUBLE, -1e300, FMT_INTEGER)), INT32_MIN);
}

TEST(ConvertRow, ToFloatingPointRoundsToNearestEven) {
    EXPECT_EQ((convert_one<std::uint32_t, float>(FMT_UINTEGER, 4294967295u, FMT_FLOAT)),
              4294967296.0f);
    EXPECT_EQ((convert_one<std::uint32_t, double>(FMT_UINTEGER, 4294967295u, FMT_DOUBLE)),
              4294967295.0);
    EXPECT_EQ((convert_one<std::int32_t, float>(FMT_INTEGER, 16777217, FMT_FLOAT)), 16777216.0f);
    EXPECT_EQ((convert_one<std::int32_t, float>(FMT_INTEGER, 16777219, FMT_FLOAT)), 16777220.0f);
    EXPECT_EQ((convert_one<std::int8_t, double>(FMT_CHAR, -128, FMT_DOUBLE)), -128.0);
    EXPECT_EQ((convert_one<double, float>(FMT_DOUBLE, 1e300, FMT_FLOAT)),
              std::numeric_limits<float>::infinity());
    EXPECT_EQ((convert_one<float, double>(FMT_FLOAT, 0.1f, FMT_DOUBLE)), double(0.1f));
    EXPECT_EQ(bits_of(convert_one<double, float>(FMT_DOUBLE, -0.0, FMT_FLOAT)), bits_of(-0.0f));
}

// Every pair of formats: values that every format holds exactly survive a round trip through any
// wider-or-equal format of the same kind, and a row converts every element, not just the first.
TEST(ConvertRow, AllPairsConvertWholeRows) {
    const double samples[] = {0, 1, 2, 7, 100, 127};
    constexpr auto n = static_cast<std::int32_t>(std::size(samples));
    // convert_row leaves equal formats alone; the round trip needs a copy there.
    const auto convert = [](element_format from, const void* source, element_format to,
                            void* target) {
        if (from == to) {
            std::memcpy(target, source, std::size_t(n) * width_of(from));
        } else {
            convert_row(n, from, source, to, target);
        }
    };
    for (int sc = 0; sc < BINARY_FORMATS; ++sc) {
        for (int tc = 0; tc < BINARY_FORMATS; ++tc) {
            const element_format s = binary_format(sc);
            const element_format t = binary_format(tc);
            std::vector<unsigned char> source(8 * n);
            std::vector<unsigned char> target(8 * n, 0xAA);
            std::vector<double> back(n);
            convert(FMT_DOUBLE, samples, s, source.data());
            convert(s, source.data(), t, target.data());
            convert(t, target.data(), FMT_DOUBLE, back.data());
            for (int i = 0; i < n; ++i) {
                EXPECT_EQ(back[i], samples[i]) << "from " << sc << " to " << tc << " at " << i;
            }
        }
    }
}

TEST(ConvertRow, EqualFormatsAndEmptyRowsTouchNothing) {
    std::int32_t source[2] = {1, 2};
    std::int32_t target[2] = {9, 9};
    convert_row(2, FMT_INTEGER, source, FMT_INTEGER, target);
    EXPECT_EQ(target[1], 9);
    float f = 5;
    convert_row(0, FMT_INTEGER, source, FMT_FLOAT, &f);
    EXPECT_EQ(f, 5);
}

}  // namespace
