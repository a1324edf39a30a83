#include "read_hint.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

// The token and its line, however the header and the rows are laid out; nothing for what cannot
// be read again.
TEST(ReadHint, TokenAndLine) {
    std::string many_lines;
    for (int line = 0; line < 20; ++line)
        many_lines += "1.5 1.5  1.5 1.5 1.5\t1.5 1.5 1.5 1.5 1.5\n";
    struct {
        std::string text;
        std::uint64_t value, cells;
        element_format format;
        std::string hint;  // after it, " of " and the source's path, or more
    } const cases[] = {
        {"ncols 2\r\nnrows 2\r\n\r\n1 2\r\n3\r\n\r\n4e 5\r\n", 3, 4, FMT_FLOAT, "\"4e\" on line 7"},
        {"nrows 1\nncols 3\n\n\n7 8.25", 1, 3, FMT_UCHAR, "\"8.25\" on line 5"},
        {"ncols 3\nnrows 1\n-1 2", 2, 3, FMT_FLOAT, "the grid ends after 2 values on line 3"},
        {"ncols 3\nnrows 1\n", 0, 3, FMT_FLOAT, "the grid ends after 0 values on line 3"},
        // Past many blocks of 64 bytes, counted a block at a time.
        {"ncols 201\nnrows 1\n" + many_lines + "abc\n", 200, 201, FMT_FLOAT, "\"abc\" on line 23"},
        {"ncols 201\nnrows 1\n" + many_lines, 200, 201, FMT_FLOAT,
         "the grid ends after 200 values on line 22"},
        {"ncols 201\nnrows 1\n" + many_lines, 137, 201, FMT_FLOAT, "\"1.5\" on line 16"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.asc", c.text);
        const std::string hint = bad_value_hint(dir / "in.asc", c.value, c.cells, c.format, false);
        EXPECT_EQ(hint.substr(0, hint.find(" of ")), c.hint) << c.text;
    }
    scratch_dir dir;
    write_file(dir / "in.asc", "ncols 1\nnrows 1\n2.5\n");
    EXPECT_EQ(bad_value_hint(dir / "in.asc", 0, 1, FMT_CHAR, false),
              "\"2.5\" on line 3 of " + (dir / "in.asc") +
                  "; char takes whole numbers only: add --round, or convert to float or double");
    EXPECT_EQ(bad_value_hint(dir / "in.asc", 0, 1, FMT_FLOAT, false),
              "\"2.5\" on line 3 of " + (dir / "in.asc"));
    write_file(dir / "no.asc", "no grid\n");
    EXPECT_EQ(bad_value_hint(dir / "no.asc", 0, 1, FMT_FLOAT, false), "");
    EXPECT_EQ(bad_value_hint("-", 0, 1, FMT_FLOAT, false), "");
}

// The advice is true for the run that asks: never --round where it was given, nor for a value no
// rounding makes whole.
TEST(ReadHint, AdviceFitsTheRun) {
    struct {
        const char* cell;
        bool rounded;
        const char* advice;  // after the token, its line and the path
    } const cases[] = {
        {"2.5", false,
         "; shortint takes whole numbers only: add --round, or convert to float or double"},
        {"2.5", true, ""},
        {"nan", false, "; shortint holds no nan or infinity: convert to float or double"},
        {"nan", true, "; shortint holds no nan or infinity: convert to float or double"},
        {"-inf", true, "; shortint holds no nan or infinity: convert to float or double"},
        {"1e999", false,
         "; shortint takes whole numbers only: add --round, or convert to float or double"},
        {"1e999", true, ""},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.asc", std::string("ncols 1\nnrows 1\n") + c.cell + "\n");
        const std::string path = dir / "in.asc";
        std::string expected = "\"";
        expected.append(c.cell).append("\" on line 3 of ").append(path).append(c.advice);
        EXPECT_EQ(bad_value_hint(path, 0, 1, FMT_SHORTINT, c.rounded), expected)
            << c.cell << " " << c.rounded;
    }
}

}  // namespace
