#include "row_readers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "formats.h"
#include "test_support.h"

namespace {

// Reading a body through small blocks, where tokens straddle block ends and some are longer than
// a block, gives the same values as reading it through one large block.
TEST(AsciiRow, BlockSizeDoesNotChangeValues) {
    std::string body;
    std::vector<double> expected;
    for (int i = 0; i < 300; ++i) {
        std::string token = std::to_string(i * 37 % 1000) + "." + std::to_string(i % 97);
        if (i % 50 == 7) token = "1" + std::string(40, '0') + ".25e-40";  // longer than a block
        body += token + (i % 11 == 0 ? "\r\n" : (i % 5 == 0 ? "\t \n" : " "));
        expected.push_back(std::strtod(token.c_str(), nullptr));
    }
    for (std::size_t capacity = 16; capacity <= 80; ++capacity) {
        text_source source(body, capacity);
        std::vector<double> row(expected.size());
        ASSERT_EQ(read_ascii_row(source.reader, static_cast<std::int32_t>(row.size()), FMT_DOUBLE,
                                 row.data()),
                  static_cast<std::int32_t>(row.size()))
            << capacity;
        EXPECT_EQ(row, expected) << capacity;
    }
}

TEST(AsciiRow, StopsAtTheFirstValueThatIsNotANumber) {
    struct {
        std::string body;
        int format;
        std::int32_t count;
        std::int32_t read;
    } const cases[] = {
        {"1 2 3 4", FMT_INTEGER, 4, 4},
        {"1 2 3 4 junk after the last value", FMT_INTEGER, 4, 4},
        {"1 2 3.5 4", FMT_INTEGER, 4, 2},
        {"1.0 2. 3.000 4", FMT_INTEGER, 4, 4},
        {"1,2,3,4", FMT_FLOAT, 4, 0},
        {"1 2 nan 4", FMT_FLOAT, 4, 4},
        {"1 2 nan 4", FMT_CHAR, 4, 2},
        {"1 2", FMT_DOUBLE, 4, 2},
        {"1 2\x1A 3 4", FMT_SHORTINT, 4, 2},
        {std::string("1 2\0 3 4", 8), FMT_SHORTINT, 4, 1},
        {"1 0x10 3 4", FMT_FLOAT, 4, 1},
        {"", FMT_UCHAR, 1, 0},
        {"1 2 3 4", FMT_UCHAR, 0, 0},
    };
    for (const auto& c : cases) {
        text_source source(c.body);
        double row[8] = {};
        EXPECT_EQ(read_ascii_row(source.reader, c.count, c.format, row), c.read) << c.body;
    }
}

TEST(AsciiRow, NumberOfAMillionDigitsIsReadExactly) {
    const std::string digits = "0." + std::string(1000000, '0') + "15e1000001";
    text_source source(digits + " 42", 4096);
    double row[2] = {};
    ASSERT_EQ(read_ascii_row(source.reader, 2, FMT_DOUBLE, row), 2);
    EXPECT_EQ(row[0], 1.5);
    EXPECT_EQ(row[1], 42);
}

TEST(AsciiRowDeathTest, TextFormatHasNoBinaryLayout) {
    text_source source("1 2");
    int row[2];
    EXPECT_EXIT(read_ascii_row(source.reader, 2, FMT_ASCII, row), testing::ExitedWithCode(1),
                "^Fatal error: Unknown format specifier in switch statement\n$");
}

}  // namespace
