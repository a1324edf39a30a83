#include "separator_scan.h"

#include <gtest/gtest.h>

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
        }
    }
}

}  // namespace
