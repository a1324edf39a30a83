#include "row_readers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "formats.h"
#include "span_reference.h"
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

// Tokens as grids hold them: class codes (one and two digits, the shape parsed in bulk), Int16
// values with no-data, and now and then a token that is longer, signed, real or no number.
std::string span_soup(std::mt19937& random, std::size_t count) {
    static const char* const rare[] = {"123",      "-4",        "+7",  "x",          "1.0",
                                       "007",      "-",         "1e3", "4294967301", "-9999",
                                       "99999999", "123456789", "1-2"};
    static const char* const separators[] = {" ", "\n", "\r\n", "\t", "  ", "\v\f"};
    const std::size_t rare_odds = 1 + random() % 2000;
    std::string text = random() % 2 == 0 ? "" : " ";
    for (std::size_t i = 0; i < count; ++i) {
        if (random() % rare_odds == 0) {
            text += rare[random() % std::size(rare)];
        } else {
            text += std::to_string(random() % (random() % 3 == 0 ? 100 : 13));
        }
        text += separators[random() % (random() % 4 == 0 ? std::size(separators) : 1)];
    }
    return text;
}

template <typename T>
void expect_span_like_reference(const std::string& text, std::size_t max_values, int format) {
    // Garbage after the span: the parser may read it, never take it.
    std::string padded = text + std::string(SPAN_SLACK, '7');
    const char* first = padded.data();
    const char* last = first + text.size();
    std::vector<T> got(text.size() / 2 + 2);
    std::vector<T> expected(got.size());
    const span_parse g = parse_text_span(first, last, format, got.data(), max_values);
    const span_parse e = reference_span<T>(first, last, expected.data(), max_values);
    ASSERT_EQ(g.values, e.values) << format;
    ASSERT_EQ(g.stopped, e.stopped) << format;
    ASSERT_EQ(g.next - first, e.next - first) << format;
    for (std::size_t i = 0; i < g.values; ++i) {
        ASSERT_TRUE(std::memcmp(&got[i], &expected[i], sizeof(T)) == 0) << format << " at " << i;
    }
}

// The span parser (byte masks, bulk one- and two-digit strides) gives what the one-byte parser
// gives: the same values, the same stop and the same place to go on from, whatever the number
// of values wanted.
TEST(TextSpan, SameAsTheOneByteParser) {
    std::mt19937 random(31);
    for (int round = 0; round < 400; ++round) {
        std::string text = span_soup(random, 1 + random() % 3000);
        if (text.back() != ' ' && text.back() != '\n') text += ' ';
        const std::size_t max_values = round % 3 == 0 ? SIZE_MAX : random() % 2000;
        expect_span_like_reference<std::int8_t>(text, max_values, FMT_CHAR);
        expect_span_like_reference<std::uint8_t>(text, max_values, FMT_UCHAR);
        expect_span_like_reference<std::int16_t>(text, max_values, FMT_SHORTINT);
        expect_span_like_reference<std::uint32_t>(text, max_values, FMT_UINTEGER);
        expect_span_like_reference<float>(text, max_values, FMT_FLOAT);
        expect_span_like_reference<double>(text, max_values, FMT_DOUBLE);
    }
}

TEST(AsciiRowDeathTest, TextFormatHasNoBinaryLayout) {
    text_source source("1 2");
    int row[2];
    EXPECT_EXIT(read_ascii_row(source.reader, 2, FMT_ASCII, row), testing::ExitedWithCode(1),
                "^Fatal error: Unknown format specifier in switch statement\n$");
}

}  // namespace
