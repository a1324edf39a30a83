#include "rastmill.h"

#include <gtest/gtest.h>

#include "grid.h"
#include "test_support.h"

namespace {

TEST(ScanInteger, ReadsLikeStrtolWithBaseZero) {
    struct {
        const char* text;
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
        {"", 0, true},
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

TEST(DriverDeathTest, FailuresPrintOneLineAndExitWithOne) {
    EXPECT_EXIT(parse_integer("12abc"), testing::ExitedWithCode(1), "^Invalid integer: 12abc\n$");
    EXPECT_EXIT(fatal_error("", "Failure to allocate memory"), testing::ExitedWithCode(1),
                "^Failure to allocate memory \n$");
    scratch_dir dir;
    write_file(dir / "kept.bin", "keep me");
    std::FILE* stream = nullptr;
    EXPECT_EXIT(open_file(stream, dir / "kept.bin", "wb", false), testing::ExitedWithCode(1),
                "^File already exists, and should not be overwritten: .*kept.bin\n$");
    EXPECT_EQ(read_file(dir / "kept.bin"), "keep me");
    EXPECT_EXIT(open_file(stream, dir / "none/x.bin", "wb", true), testing::ExitedWithCode(1),
                "^Cannot open file: .*none/x.bin\n$");
}

TEST(Driver, OpenFileAllowsWhatItShould) {
    scratch_dir dir;
    write_file(dir / "a.asc", "x");
    std::FILE* stream = nullptr;
    open_file(stream, dir / "a.asc", "r", false);  // reading never checks for existence
    std::fclose(stream);
    open_file(stream, dir / "a.asc", "wb", true);
    std::fclose(stream);
    EXPECT_EQ(read_file(dir / "a.asc"), "");
    EXPECT_TRUE(same_file(dir / "a.asc", dir.path.string() + "/./a.asc"));
    EXPECT_FALSE(same_file(dir / "a.asc", dir / "missing"));
}

// Positions past 2^32 bytes and 2^31 values are counted in 64 bits.
TEST(Driver, LostValuePositionBeyondFourGigabytes) {
    grid_target target;
    target.committed = 6'000'000'000ull;  // 1.5e9 floats
    EXPECT_EQ(lost_value_position(target, 100000, 4), "Row: 15000\tColumn: 0");
    target.committed = 6'000'000'012ull;
    EXPECT_EQ(lost_value_position(target, 100000, 8), "Row: 7500\tColumn: 1");
    EXPECT_EQ(lost_value_position(target, 0, 8), "Row: 0\tColumn: 0");
}

}  // namespace
