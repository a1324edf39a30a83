#include "target.h"
#include "text_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "formats.h"
#include "pipeline.h"
#include "test_support.h"

namespace {

TEST(AsciiWriter, SpaceBetweenValuesNewlineAfterTheRow) {
    memory_target out;
    float f[2] = {1.5f, -2};
    std::int8_t c[1] = {-56};
    std::uint16_t u[1] = {65535};
    write_ascii_row(out.target, 2, FMT_FLOAT, f);
    write_ascii_row(out.target, 1, FMT_CHAR, c);
    write_ascii_row(out.target, 1, FMT_USHORTINT, u);
    write_ascii_row(out.target, 0, FMT_DOUBLE, nullptr);
    EXPECT_EQ(out.bytes(), "1.5 -2.0\n-56\n65535\n\n");
}

// Positions past 2^32 bytes and 2^31 values are counted in 64 bits.
TEST(Driver, LostValuePositionBeyondFourGigabytes) {
    EXPECT_EQ(value_position(6'000'000'000ull, 100000, 4),
              "Row: 15000\tColumn: 0");  // 1.5e9 floats
    EXPECT_EQ(value_position(6'000'000'012ull, 100000, 8), "Row: 7500\tColumn: 1");
    EXPECT_EQ(value_position(6'000'000'012ull, 0, 8), "Row: 0\tColumn: 0");
}

}  // namespace

namespace {

// The value of the little-endian bytes of one T.
template <typename T>
T read_le(std::string bytes) {
    if constexpr (std::endian::native == std::endian::big) std::reverse(bytes.begin(), bytes.end());
    T value;
    std::memcpy(&value, bytes.data(), sizeof(T));
    return value;
}

// What the text writer makes of values, read back through the pipeline: the same bits for every
// value but NaN, which comes back as a NaN.
template <typename T>
void expect_cells_read_back(const std::vector<T>& values, element_format format) {
    memory_target out;
    write_ascii_row(out.target, static_cast<std::int32_t>(values.size()), format, values.data());
    const std::string text = out.bytes();
    ASSERT_EQ(text.back(), '\n');
    text_source source(text);
    memory_target back;
    ASSERT_FALSE(move_rows(1, static_cast<std::int32_t>(values.size()), FMT_ASCII, source.reader,
                           format, back.target)
                     .failed())
        << text.substr(0, 200);
    // The target holds them little-endian, as values of the same bits would be written.
    const std::string bytes = back.bytes();
    const std::string expected = le_bytes<T>(values);
    ASSERT_EQ(bytes.size(), expected.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string cell = bytes.substr(i * sizeof(T), sizeof(T));
        const bool same = std::isnan(values[i]) ? std::isnan(read_le<T>(cell))
                                                : cell == expected.substr(i * sizeof(T), sizeof(T));
        if (!same && ++differing <= 5) ADD_FAILURE() << "value " << i << " came back changed";
    }
    EXPECT_EQ(differing, 0u);
}

TEST(AsciiWriter, RealsComeBackBitForBit) {
    using fl = std::numeric_limits<float>;
    using dl = std::numeric_limits<double>;
    std::vector<float> floats = {0.0f,           -0.0f,           fl::min(),        -fl::min(),
                                 fl::max(),      -fl::max(),      fl::denorm_min(), 1e30f,
                                 fl::infinity(), -fl::infinity(), fl::quiet_NaN(),  1520.224f,
                                 0.1f,           16777217.0f,     -9999.0f};
    std::vector<double> doubles = {
        0.0, -0.0,  dl::min(), dl::max(), dl::denorm_min(), -dl::infinity(), dl::quiet_NaN(),
        0.1, 1e300, 5e-324,    -9999.0,   1520.224};
    std::mt19937 random(17);
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t bits = static_cast<std::uint32_t>(random());
        float f;
        std::memcpy(&f, &bits, sizeof f);
        floats.push_back(f);
        const std::uint64_t wide = (std::uint64_t(random()) << 32) | random();
        double d;
        std::memcpy(&d, &wide, sizeof d);
        doubles.push_back(d);
    }
    expect_cells_read_back(floats, FMT_FLOAT);
    expect_cells_read_back(doubles, FMT_DOUBLE);
}

TEST(AsciiWriter, ShortestTextAPointInEveryRealAndTheNoDataText) {
    memory_target out;
    const float f[4] = {1520.224f, 7.0f, -9999.0f, 1e30f};
    const std::int8_t c[3] = {-15, 44, -128};
    cell_text style{std::string("\r\n"), std::string("-9999"), {}};
    const float nodata = -9999.0f;
    std::memcpy(style.nodata_bytes, &nodata, sizeof nodata);
    write_ascii_row(out.target, 4, FMT_FLOAT, f, style);
    const std::int8_t wrapped = -15;  // -9999 as char keeps it
    std::memcpy(style.nodata_bytes, &wrapped, 1);
    write_ascii_row(out.target, 3, FMT_CHAR, c, style);
    EXPECT_EQ(out.bytes(), "1520.224 7.0 -9999 1.0e+30\r\n-9999 44 -128\r\n");
}

}  // namespace

namespace {

// Rows wider than the writer's pieces of text, ending in a no-data text of 32 characters or more
// and CR LF, the last cell at every offset around a piece's end: the text whole, and nothing
// written past the writer's buffer (the AddressSanitizer build checks that).
TEST(AsciiWriter, LongNoDataTextLastInAWideRow) {
    const struct {
        float value;
        const char* text;
    } firsts[] = {{1, "1.0"}, {12, "12.0"}, {123, "123.0"}, {1234, "1234.0"}};
    const float nodata = -9999.0f;
    for (const std::size_t length : {31, 32, 41, 64, 65, 300}) {
        cell_text style{std::string("\r\n"), "-9999." + std::string(length - 6, '0'), {}};
        std::memcpy(style.nodata_bytes, &nodata, sizeof nodata);
        for (const auto& first : firsts) {
            for (const int ones : {1020, 1021, 1022, 1023, 1024, 1025, 2045, 2046, 2047, 2048}) {
                std::vector<float> row(static_cast<std::size_t>(ones) + 2, 1.0f);
                row.front() = first.value;
                row.back() = nodata;
                std::string expected = first.text;
                for (int i = 0; i < ones; ++i)
                    expected += " 1.0";
                expected += " " + style.nodata + "\r\n";
                memory_target out;
                EXPECT_TRUE(write_ascii_row(out.target, static_cast<std::int32_t>(row.size()),
                                            FMT_FLOAT, row.data(), style));
                EXPECT_TRUE(out.bytes() == expected) << length << " " << first.text << " " << ones;
            }
        }
    }
}

}  // namespace

namespace {

// A NaN is the no-data text where there is one (GDAL cannot read a grid whose first cell is
// "nan"), whatever its payload and sign, and "nan" where there is none.
TEST(AsciiWriter, NanIsTheNoDataText) {
    const float float_nan = std::numeric_limits<float>::quiet_NaN();
    const double double_nan = -std::numeric_limits<double>::quiet_NaN();
    const std::uint32_t payload_bits = 0x7F800001;  // a signalling NaN with payload 1
    float payload_nan;
    std::memcpy(&payload_nan, &payload_bits, sizeof payload_nan);
    const float floats[4] = {float_nan, 1.5f, -9999.0f, payload_nan};
    const double doubles[3] = {double_nan, -9999.0, 2.5};
    const struct {
        const char* nodata;
        double value;
        std::string expected_floats, expected_doubles;
    } cases[] = {
        {"-9999", -9999, "-9999 1.5 -9999 -9999\n", "-9999 -9999 2.5\n"},
        {"-3.4e38", -3.4e38, "-3.4e38 1.5 -9999.0 -3.4e38\n", "-3.4e38 -9999.0 2.5\n"},
        {"", 0, "nan 1.5 -9999.0 nan\n", "nan -9999.0 2.5\n"},
    };
    for (const auto& c : cases) {
        cell_text style{"\n", c.nodata, {}};
        const auto float_nodata = static_cast<float>(c.value);
        std::memcpy(style.nodata_bytes, &float_nodata, sizeof float_nodata);
        memory_target out;
        write_ascii_row(out.target, 4, FMT_FLOAT, floats, style);
        EXPECT_EQ(out.bytes(), c.expected_floats) << c.nodata;
        std::memcpy(style.nodata_bytes, &c.value, sizeof c.value);
        memory_target doubled;
        write_ascii_row(doubled.target, 3, FMT_DOUBLE, doubles, style);
        EXPECT_EQ(doubled.bytes(), c.expected_doubles) << c.nodata;
    }
}

}  // namespace
