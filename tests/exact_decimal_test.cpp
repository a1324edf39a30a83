// Exact decimal arithmetic on coordinates and sizes: nothing rounds and nothing wraps.
#include "exact_decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
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

}  // namespace
