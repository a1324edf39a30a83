#include "separator_scan.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>

namespace {

// The block masks say for every byte value what the one-byte classes say, at every position.
TEST(ClassifyBlock, AgreesWithTheCharacterClasses) {
    std::mt19937 random(64);
    std::string bytes(64 + 256, '\0');
    for (int round = 0; round < 2000; ++round) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = round < 256 ? static_cast<char>(round + static_cast<int>(i))
                                   : static_cast<char>(random());
        }
        const std::size_t at = static_cast<std::size_t>(round) % 200;
        const byte_classes classes = classify_block(bytes.data() + at);
        for (int i = 0; i < 64; ++i) {
            const char c = bytes[at + static_cast<std::size_t>(i)];
            ASSERT_EQ((classes.separators >> i) & 1, is_space(c) ? 1u : 0u) << int(c);
            ASSERT_EQ((classes.digits >> i) & 1, is_digit(c) ? 1u : 0u) << int(c);
            ASSERT_EQ((classes.minus >> i) & 1, c == '-' ? 1u : 0u) << int(c);
            ASSERT_EQ((classes.points >> i) & 1, c == '.' ? 1u : 0u) << int(c);
        }
    }
}

TEST(CountBits, AgreesWithPopcount) {
    std::mt19937_64 random(7);
    for (std::uint64_t x : {std::uint64_t(0), ~std::uint64_t(0), std::uint64_t(1) << 63}) {
        EXPECT_EQ(count_bits(x), std::popcount(x)) << x;
    }
    for (int i = 0; i < 10000; ++i) {
        const std::uint64_t x = random() & random();  // sparse and dense words alike
        ASSERT_EQ(count_bits(x), std::popcount(x)) << x;
    }
}

}  // namespace
