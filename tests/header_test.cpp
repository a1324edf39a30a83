#include "header.h"

#include <gtest/gtest.h>

#include <string>

#include "formats.h"
#include "pipeline.h"
#include "test_support.h"

namespace {

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
        {"rows first", "nrows 5\nncols 4\n", 4, 5, "", ""},
        {"indented", " ncols 4\nnrows 3\n", 4, 3, "", ""},
        {"cell size first", "\r\n\t\nCELLSIZE 30\nNRows 3\nxllcorner 0\nncols,4\n", 4, 3, "", ""},
        {"line 2 counts when line 1 is ncols", "ncols 4\ncellsize 3\nnrows 7\n", 4, 3, "", ""},
        {"keywords without ncols", "nrows 5\ncellsize 4\n1 2\n", 0, 0, "Fatal error", unrecognized},
        {"keywords without nrows", " ncols 5\n1 2\n", 0, 0, "Fatal error", unrecognized},
        {"bad count in any order", "nrows 08\nncols 4\n", 0, 0, "Invalid integer:", "08"},
        {"not a keyword", "\n  hello 4\nncols 4\nnrows 3\n", 0, 0, "Fatal error", unrecognized},
        {"octal 08", "ncols 08\nnrows 3\n", 0, 0, "Invalid integer:", "08"},
        {"decimal point", "ncols 4.0\nnrows 3\n", 0, 0, "Invalid integer:", "4.0"},
        {"negative rows", "ncols 4\nnrows -3\n", 0, 0, "Invalid integer:", "-3"},
        {"rows checked first", "ncols x\nnrows y\n", 0, 0, "Invalid integer:", "y"},
        {"lone carriage return", "ncols 4\rnrows 3\n", 0, 0, "Fatal error", unrecognized},
        {"control bytes", std::string("ncols 4\nnrows 3\x01\n"), 0, 0,
         "Invalid integer:", "3\\x01"},
        {"long count", "ncols 4\nnrows " + std::string(100, '1') + "\n", 4, 2147483647, "", ""},
        {"leading zeros", "ncols 0" + std::string(70, '0') + "4\nnrows 1\n", 4, 1, "", ""},
        {"long bad count", "ncols 4\nnrows " + std::string(100, '1') + "x\n", 0, 0,
         "Invalid integer:", std::string(64, '1') + "..."},
        {"form feed in a count", "ncols 4\f\nnrows 3\n", 0, 0, "Invalid integer:", "4\\x0c"},
        {"carriage return ending the input", "ncols 4\nnrows 3\r", 0, 0,
         "Invalid integer:", "3\\x0d"},
        {"carriage return before the last newline", "ncols 4\nnrows 3\r\n", 4, 3, "", ""},
        {"comma before the data", "ncols 4\nnrows 3\n,7 8", 0, 0,
         "Error reading input:", "Row: 0\tColumn: 0"},
        {"comma before the data of no cells", "ncols 0\nnrows 3\n,7 8", 0, 3, "", ""},
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

// The georeferencing is kept as written, whatever the order of the lines.
TEST(Header, KeepsTheGeoreferencingAsWritten) {
    struct {
        std::string text;
        std::string xll, yll, cellsize, dx, dy, nodata;
        bool x_center, y_center;
    } const cases[] = {
        {"ncols 1\nnrows 1\nxllcorner 1e3\nyllcorner -12.50\ncellsize 0.1\nNODATA_value -9999\n",
         "1e3", "-12.50", "0.1", "", "", "-9999", false, false},
        {"nodata_value nan\ndy 2\ndx 1\nyllcenter 5\nxllcenter 4\nnrows 1\nncols 1\n", "4", "5", "",
         "1", "2", "nan", true, true},
        // Longer than a message shows: kept whole all the same.
        {"ncols 1\nnrows 1\nxllcorner " + std::string(65, '1') + "\nyllcorner 0." +
             std::string(80, '0') + "25\ncellsize 1" + std::string(70, 'x') + "\nNODATA_value -" +
             std::string(100, '9') + "\n",
         std::string(65, '1'), "0." + std::string(80, '0') + "25", std::string("1").append(70, 'x'),
         "", "", std::string("-").append(100, '9'), false, false},
        {"ncols 1\nnrows 1\n", "", "", "", "", "", "", false, false},
    };
    for (const auto& c : cases) {
        text_source source(c.text);
        grid_header header;
        ASSERT_FALSE(read_header(source.reader, header).failed()) << c.text;
        EXPECT_EQ(header.xll, c.xll) << c.text;
        EXPECT_EQ(header.yll, c.yll) << c.text;
        EXPECT_EQ(header.cellsize, c.cellsize) << c.text;
        EXPECT_EQ(header.dx, c.dx) << c.text;
        EXPECT_EQ(header.dy, c.dy) << c.text;
        EXPECT_EQ(header.nodata, c.nodata) << c.text;
        EXPECT_EQ(header.x_center, c.x_center) << c.text;
        EXPECT_EQ(header.y_center, c.y_center) << c.text;
    }
}

// The header ends at the first line that is neither blank nor a header keyword, wherever that is.
TEST(Header, EndsAtTheFirstLineOfData) {
    const std::string bodies[] = {
        "ncols 3\nnrows 1\n" + rest + "7 8 9\n",
        "ncols 3\nnrows 1\nxllcorner 0\nyllcorner 0\ncellsize 30\n7 8 9\n",  // no nodata line
        "ncols 3\nnrows 1\nxllcenter 0\nyllcenter 0\ndx 30\ndy 30\nnodata_value -1\n7 8 9\n",
        "ncols 3\nnrows 1\n\n  \nCellSize,30\n\t\n7 8 9\n",
        "ncols 3\nnrows 1\n,,\n ,cellsize 30\n,\tdx 1\r\n7 8 9\n",
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
            memory_target out;
            EXPECT_FALSE(move_rows(1, 3, FMT_ASCII, source.reader, FMT_FLOAT, out.target).failed());
            EXPECT_EQ(out.bytes(), le_bytes<float>({7, 8, 9})) << text.substr(0, 60);
        }
    }
}

// Values of any length up to the bound are kept whole, in every block size; a longer one is
// refused, naming its keyword, without being held. Counts and other tokens are not held: any
// length goes.
TEST(Header, ValuesWholeUpToTheirBound) {
    const std::size_t bound = LONGEST_HEADER_VALUE;
    const std::string nodata = "-9999." + std::string(bound - 6, '0');  // at the bound
    const std::string too_long_message = "Header value longer than 1 MiB:";
    const struct {
        const char* name;
        std::string text;
        std::string message, detail;
    } cases[] = {
        {"no-data text at the bound", "ncols 1\nnrows 1\nNODATA_value " + nodata + "\n1\n", "", ""},
        {"no-data text past it", "ncols 1\nnrows 1\nNODATA_value " + nodata + "0\n1\n",
         too_long_message, "NODATA_value"},
        {"a repeated line past it",
         "ncols 1\nnrows 1\ncellsize 1\ncellsize " + std::string(bound + 1, '1') + "\n1\n",
         too_long_message, "cellsize"},
        {"a third token past it",
         "ncols 1\nnrows 1\nNODATA_value " + nodata + " " + std::string(bound + 1, 'x') + "\n1\n",
         "", ""},
        {"the counts past it",
         "ncols " + std::string(bound, '0') + "1\nnrows " + std::string(bound, '0') + "1\n" +
             "NODATA_value " + nodata + "\n1\n",
         "", ""},
    };
    for (const auto& c : cases) {
        for (const std::size_t capacity : {std::size_t(4096), SOURCE_BLOCK_SIZE}) {
            text_source source(c.text, capacity);
            grid_header header;
            const failure f = read_header(source.reader, header);
            EXPECT_EQ(f.message, c.message) << c.name;
            EXPECT_EQ(f.detail, c.detail) << c.name;
            if (c.message.empty()) {
                EXPECT_TRUE(header.nodata == nodata) << c.name;
                EXPECT_EQ(header.ncols, 1) << c.name;
            }
        }
    }
}

}  // namespace
