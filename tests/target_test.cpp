#include "target.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "formats.h"
#include "test_support.h"

namespace {

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

// Positions past 2^32 bytes and 2^31 values are counted in 64 bits.
TEST(Driver, LostValuePositionBeyondFourGigabytes) {
    EXPECT_EQ(value_position(6'000'000'000ull, 100000, 4),
              "Row: 15000\tColumn: 0");  // 1.5e9 floats
    EXPECT_EQ(value_position(6'000'000'012ull, 100000, 8), "Row: 7500\tColumn: 1");
    EXPECT_EQ(value_position(6'000'000'012ull, 0, 8), "Row: 0\tColumn: 0");
}

}  // namespace
