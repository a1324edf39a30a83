// Exact decimal arithmetic on coordinates and sizes: nothing rounds and nothing wraps.
#include "exact_decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace {

TEST(ExactDecimal, ProductsPastSixtyFourBits) {
    struct {
        std::uint64_t a, b;
        std::string product;
    } const cases[] = {
        {0, 8, "0"},
        {6, 2, "12"},
        {2305843009213693952, 8, "18446744073709551616"},
        {UINT64_MAX, UINT64_MAX, "340282366920938463426481119284349108225"},
        {4611686014132420609, 8, "36893488113059364872"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(product_text(c.a, c.b), c.product) << c.a << " x " << c.b;
    }
}

TEST(ExactDecimal, ShiftsByAnyNumberOfHalves) {
    struct {
        const char* value;
        const char* size;
        std::int64_t halves;
        std::string shifted;
    } const cases[] = {
        {"100.5", "0.25", 1, "100.625"},
        {"200", "0.25", -3, "199.625"},
        {"0", "1", INT64_MAX, "4611686018427387903.5"},
        {"0", "0.1", INT64_MIN, "-461168601842738790.4"},
        {"1", "3", 4294967293, "6442450940.5"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shifted_by_halves(c.value, c.size, c.halves), c.shifted) << c.halves;
    }
}

TEST(ExactDecimal, OffsetsOnALattice) {
    struct {
        const char* origin;
        const char* value;
        const char* size;
        std::int64_t cells;
        bool exact;
        double remainder;
    } const cases[] = {
        {"100", "108", "2", 4, true, 0},
        {"100", "108.0000", "2.0", 4, true, 0},
        {"100", "92", "2", -4, true, 0},
        {"100", "101", "2", 0, false, 0.5},
        {"100", "103", "2", 1, false, 0.5},
        {"100", "97", "2", -1, false, -0.5},
        {"0.1", "0.3", "0.1", 2, true, 0},  // exact where doubles are not
        {"500000.000000001", "500030", "30", 1, false, -1e-9 / 30},
        {"-180.000138888888", "-179.000138888888", "0.000277777777777778", 3600, false,
         -0.0000000000000008 / 0.000277777777777778},
        {"0", "1e3", "1E1", 100, true, 0},
    };
    for (const auto& c : cases) {
        const std::optional<lattice_offset> o = offset_on_lattice(c.origin, c.value, c.size);
        ASSERT_TRUE(o.has_value()) << c.value;
        EXPECT_EQ(o->cells, c.cells) << c.value;
        EXPECT_EQ(o->exact, c.exact) << c.value;
        EXPECT_NEAR(o->remainder, c.remainder, 1e-15) << c.value;
    }
    EXPECT_FALSE(offset_on_lattice("0", "1e300", "1e-300").has_value());
    EXPECT_FALSE(offset_on_lattice("0", "1", "0").has_value());
    EXPECT_FALSE(offset_on_lattice("0", "x", "1").has_value());
    EXPECT_TRUE(is_positive("0.5"));
    EXPECT_FALSE(is_positive("-0.5"));
    EXPECT_FALSE(is_positive("0.000"));
}

}  // namespace
