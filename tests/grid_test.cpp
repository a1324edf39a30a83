#include "grid.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "formats.h"
#include "test_support.h"

namespace {

TEST(MoveRows, TextToEveryBinaryFormatIsLittleEndian) {
    const std::string body = "1 -2 300\n4 5 -9999\n";
    const std::string expected[] = {
        le_bytes<std::int8_t>({1, -2, 44, 4, 5, -15}),
        le_bytes<std::uint8_t>({1, 254, 44, 4, 5, 241}),
        le_bytes<std::int16_t>({1, -2, 300, 4, 5, -9999}),
        le_bytes<std::uint16_t>({1, 65534, 300, 4, 5, 55537}),
        le_bytes<std::int32_t>({1, -2, 300, 4, 5, -9999}),
        le_bytes<std::uint32_t>({1, 4294967294u, 300, 4, 5, 4294957297u}),
        le_bytes<std::int32_t>({1, -2, 300, 4, 5, -9999}),
        le_bytes<std::uint32_t>({1, 4294967294u, 300, 4, 5, 4294957297u}),
        le_bytes<float>({1, -2, 300, 4, 5, -9999}),
        le_bytes<double>({1, -2, 300, 4, 5, -9999}),
    };
    for (int f = 0; f < BINARY_FORMATS; ++f) {
        text_source source(body);
        memory_target out(8);  // a tiny block: rows are split over several writes
        ASSERT_FALSE(move_rows(2, 3, FMT_ASCII, source.reader, f, out.target).failed()) << f;
        EXPECT_EQ(out.bytes(), expected[f]) << f;
    }
}

TEST(MoveRows, BinarySourcesConvertThroughThePromotion) {
    text_source source(le_bytes<std::int16_t>({-1, 300, 7, -9999}), 16, false);
    memory_target out;
    ASSERT_FALSE(move_rows(2, 2, FMT_SHORTINT, source.reader, FMT_UINTEGER, out.target).failed());
    EXPECT_EQ(out.bytes(), le_bytes<std::uint32_t>({4294967295u, 300, 7, 4294957297u}));

    text_source floats(le_bytes<float>({1.5f, -2.75f}), 16, false);
    memory_target text;
    ASSERT_FALSE(move_rows(1, 2, FMT_FLOAT, floats.reader, FMT_ASCII, text.target).failed());
    EXPECT_EQ(text.bytes(), "1.500000\t-2.750000\t\n");

    text_source short_input(le_bytes<std::int32_t>({1, 2, 3}), 16, false);
    memory_target partial;
    const failure f = move_rows(2, 2, FMT_INTEGER, short_input.reader, FMT_DOUBLE, partial.target);
    EXPECT_EQ(f.message, "Error reading input:");
    EXPECT_EQ(f.detail, "Row: 1\tColumn: 1");
    EXPECT_EQ(partial.bytes(), le_bytes<double>({1, 2}));
}

TEST(MoveRows, FailuresNameTheRowAndColumn) {
    struct {
        const char* name;
        std::int32_t nrows, ncols;
        int target_format;
        std::string body;
        std::string message, detail, written;
    } const cases[] = {
        {"bad value", 3, 2, FMT_SHORTINT, "1 2\n3 x\n5 6\n",
         "Error reading input:", "Row: 1\tColumn: 1", le_bytes<std::int16_t>({1, 2})},
        {"fraction in integer", 2, 2, FMT_INTEGER, "1 2\n3.5 4\n",
         "Error reading input:", "Row: 1\tColumn: 0", le_bytes<std::int32_t>({1, 2})},
        {"input ends early", 2, 3, FMT_FLOAT, "1 2 3\n4",
         "Error reading input:", "Row: 1\tColumn: 1", le_bytes<float>({1, 2, 3})},
        {"text target", 1, 2, FMT_ASCII, "1 2",
         "Fatal error:", "Unknown format specifier in switch statement", ""},
        {"text target without rows", 0, 2, FMT_ASCII, "1 2", "", "", ""},
        {"negative columns", 1, -1, FMT_FLOAT, "1 2", "Failure to allocate memory", "", ""},
        {"no columns", 3, 0, FMT_FLOAT, "", "", "", ""},
        {"no rows", -1, 5, FMT_FLOAT, "", "", "", ""},
    };
    for (const auto& c : cases) {
        text_source source(c.body);
        memory_target out;
        const failure f =
            move_rows(c.nrows, c.ncols, FMT_ASCII, source.reader, c.target_format, out.target);
        EXPECT_EQ(f.message, c.message) << c.name;
        EXPECT_EQ(f.detail, c.detail) << c.name;
        EXPECT_EQ(out.bytes(), c.written) << c.name;
    }
}

// Blocks written on the converting thread or behind it on a thread of their own: the bytes, and
// the first value lost when the device is full, are the same. (A limit reached in a block written
// behind is an end-to-end case.)
TEST(MoveRows, WriteBehindChangesNothingButWhichThreadWrites) {
    std::string body;
    for (int i = 0; i < 30000; ++i)
        body += std::to_string(i) + " ";
    for (const bool behind : {false, true}) {
        text_source source(body);
        memory_target out(4000, behind);  // 1000 values a block: written behind after 8 blocks
        ASSERT_FALSE(
            move_rows(1000, 30, FMT_ASCII, source.reader, FMT_INTEGER, out.target).failed());
        EXPECT_EQ(out.target.writer != nullptr, behind);
        const std::string bytes = out.bytes();
        ASSERT_EQ(bytes.size(), 120000u) << behind;
        EXPECT_EQ(bytes.substr(119996), le_bytes<std::int32_t>({29999})) << behind;
        EXPECT_TRUE(close_target(out.target)) << behind;
        out.file = nullptr;

        std::FILE* full = std::fopen("/dev/full", "wb");
        if (full == nullptr) GTEST_SKIP() << "no /dev/full";
        text_source again(body);
        grid_target target;
        open_target(target, full, 8, behind);  // the block fills within the first row
        const failure f = move_rows(1000, 30, FMT_ASCII, again.reader, FMT_INTEGER, target);
        EXPECT_EQ(f.message, "Error writing output:") << behind;
        EXPECT_EQ(f.detail, "Row: 0\tColumn: 0") << behind;
        EXPECT_FALSE(close_target(target)) << behind;
    }
}

}  // namespace
