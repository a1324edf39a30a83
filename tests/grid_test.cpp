#include "grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "formats.h"
#include "test_support.h"

namespace {

// A source reader over bytes held in a temporary file.
struct text_source {
    std::FILE* file;
    source_reader reader;

    explicit text_source(const std::string& bytes, std::size_t capacity = SOURCE_BLOCK_SIZE,
                         bool text_mode = true)
        : file(std::tmpfile()) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::rewind(file);
        open_reader(reader, file, text_mode, capacity);
    }
    ~text_source() { std::fclose(file); }
};

// A target writing into a temporary file, read back whole.
struct memory_target {
    std::FILE* file;
    grid_target target;

    explicit memory_target(std::size_t capacity = TARGET_BLOCK_SIZE) : file(std::tmpfile()) {
        open_target(target, file, capacity);
    }
    ~memory_target() { std::fclose(file); }
    std::string bytes() {
        flush_target(target);
        std::string all;
        std::rewind(file);
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            all.append(chunk, n);
        return all;
    }
};

struct header_case {
    const char* name;
    std::string text;
    std::int32_t ncols;
    std::int32_t nrows;
    std::string message;  // empty when the header is accepted
    std::string detail;
};

const std::string rest = "xllcorner 0\nyllcorner 0\ncellsize 30\nNODATA_value -9999\n";
const std::string unrecognized = "Unrecognized input file format:";

TEST(Header, VariantsAndRefusals) {
    const header_case cases[] = {
        {"padded", "ncols         4\nnrows         3\n" + rest, 4, 3, "", ""},
        {"comma", "ncols,4\nnrows,3\n" + rest, 4, 3, "", ""},
        {"upper case", "NCOLS 4\nNROWS 3\nXLLCORNER 0\nYLLCORNER 0\nCELLSIZE 1\n", 4, 3, "", ""},
        {"keyword prefix", "ncolsX 4\nrows 3\n" + rest, 4, 3, "", ""},
        {"hex and octal", "ncols 0x10\nnrows 010\n" + rest, 16, 8, "", ""},
        {"zero", "ncols 0\nnrows 0\n" + rest, 0, 0, "", ""},
        {"byte-order mark", "\xEF\xBB\xBFncols 4\nnrows 3\n" + rest, 4, 3, "", ""},
        {"CRLF", "ncols 4\r\nnrows 3\r\nxllcorner 0\r\n", 4, 3, "", ""},
        {"count past 40 characters", "ncols" + std::string(30, ' ') + "123456\nnrows 2\n", 123456,
         2, "", ""},
        {"saturated", "ncols 99999999999\nnrows 1\n", 2147483647, 1, "", ""},
        {"ncols=4", "ncols=4\nnrows 3\n" + rest, 0, 0, "Fatal error", unrecognized},
        {"no row count", "ncols 4\nnrows\n" + rest, 0, 0, "Fatal error", unrecognized},
        {"only one line", "ncols 4", 0, 0, "Fatal error", unrecognized},
        {"empty", "", 0, 0, "Fatal error", unrecognized},
        {"rows first", "nrows 5\nncols 4\n", 0, 0, "Fatal error", unrecognized},
        {"indented", " ncols 4\nnrows 3\n", 0, 0, "Fatal error", unrecognized},
        {"octal 08", "ncols 08\nnrows 3\n", 0, 0, "Invalid integer:", "08"},
        {"decimal point", "ncols 4.0\nnrows 3\n", 0, 0, "Invalid integer:", "4.0"},
        {"negative rows", "ncols 4\nnrows -3\n", 0, 0, "Invalid integer:", "-3"},
        {"rows checked first", "ncols x\nnrows y\n", 0, 0, "Invalid integer:", "y"},
        {"lone carriage return", "ncols 4\rnrows 3\n", 0, 0, "Fatal error", unrecognized},
        {"control bytes", std::string("ncols 4\nnrows 3\x01\n"), 0, 0,
         "Invalid integer:", "3\\x01"},
        {"long count", "ncols 4\nnrows " + std::string(100, '1') + "\n", 0, 0,
         "Invalid integer:", std::string(64, '1') + "..."},
    };
    for (const header_case& c : cases) {
        text_source source(c.text);
        grid_header header;
        const failure f = read_header(source.reader, header);
        EXPECT_EQ(f.message, c.message) << c.name;
        EXPECT_EQ(f.detail, c.detail) << c.name;
        if (c.message.empty()) {
            EXPECT_EQ(header.ncols, c.ncols) << c.name;
            EXPECT_EQ(header.nrows, c.nrows) << c.name;
        }
    }
}

// The header ends at the first line that is neither blank nor a header keyword, wherever that is.
TEST(Header, EndsAtTheFirstLineOfData) {
    const std::string bodies[] = {
        "ncols 3\nnrows 1\n" + rest + "7 8 9\n",
        "ncols 3\nnrows 1\nxllcorner 0\nyllcorner 0\ncellsize 30\n7 8 9\n",  // no nodata line
        "ncols 3\nnrows 1\nxllcenter 0\nyllcenter 0\ndx 30\ndy 30\nnodata_value -1\n7 8 9\n",
        "ncols 3\nnrows 1\n\n  \nCellSize,30\n\t\n7 8 9\n",
        "ncols 3\nnrows 1\nxllcorner " + std::string(5000, '0') + "\n" + rest + "7 8 9\n",
        "ncols 3 " + std::string(200, 'x') + "\nnrows 1\n" + rest + "7\n8\n9",
        "ncols 3\r\nnrows 1\r\ncellsize 30\r\n7 8 9\r\n\x1A junk",
        "ncols 3\nnrows 1\n" + rest + "   7 8 9",
    };
    for (const std::string& text : bodies) {
        for (const std::size_t capacity : {std::size_t(16), std::size_t(23), SOURCE_BLOCK_SIZE}) {
            text_source source(text, capacity);
            grid_header header;
            ASSERT_FALSE(read_header(source.reader, header).failed()) << text.substr(0, 60);
            float row[3] = {0, 0, 0};
            EXPECT_EQ(read_ascii_row(source.reader, 3, FMT_FLOAT, row), 3) << text.substr(0, 60);
            EXPECT_EQ(row[0], 7) << text.substr(0, 60);
            EXPECT_EQ(row[2], 9) << text.substr(0, 60);
        }
    }
}

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
    EXPECT_LT(source.reader.spill.size(), 1000u);
}

TEST(AsciiRowDeathTest, TextFormatHasNoBinaryLayout) {
    text_source source("1 2");
    int row[2];
    EXPECT_EXIT(read_ascii_row(source.reader, 2, FMT_ASCII, row), testing::ExitedWithCode(1),
                "^Fatal error: Unknown format specifier in switch statement\n$");
}

TEST(AsciiWriter, TabAfterEachValueNewlineAfterTheRow) {
    memory_target out;
    float f[2] = {1.5f, -2};
    std::int8_t c[1] = {-56};
    std::uint16_t u[1] = {65535};
    write_ascii_row(out.target, 2, FMT_FLOAT, f);
    write_ascii_row(out.target, 1, FMT_CHAR, c);
    write_ascii_row(out.target, 1, FMT_USHORTINT, u);
    write_ascii_row(out.target, 0, FMT_DOUBLE, nullptr);
    EXPECT_EQ(out.bytes(), "1.500000\t-2.000000\t\n-56\t\n65535\t\n\n");
}

TEST(MoveRows, TextToEveryBinaryFormatIsLittleEndian) {
    init_element_sizes();
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
    init_element_sizes();
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
    init_element_sizes();
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

TEST(MoveRows, FullDeviceIsAWriteFailure) {
    init_element_sizes();
    std::FILE* full = std::fopen("/dev/full", "wb");
    if (full == nullptr) GTEST_SKIP() << "no /dev/full";
    text_source source("1 2 3 4 5 6");
    grid_target target;
    open_target(target, full, 8);  // the block fills within the first row
    const failure f = move_rows(2, 3, FMT_ASCII, source.reader, FMT_INTEGER, target);
    EXPECT_EQ(f.message, "Error writing output:");
    EXPECT_EQ(f.detail, "Row: 0\tColumn: 0");
    std::fclose(full);
}

}  // namespace
