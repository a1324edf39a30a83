#include "digit_kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "failure.h"
#include "separator_scan.h"
#include "text_number.h"

namespace {

// The whole suite runs on the kernels RASTMILL_KERNELS names, as the program does (the tests that
// start the program pass it on).
const bool KERNELS_FROM_ENVIRONMENT = [] {
    const char* name = std::getenv("RASTMILL_KERNELS");
    if (name == nullptr || *name == '\0') return false;
    if (const failure f = set_kernels(name); f.failed()) {
        std::fprintf(stderr, "%s %s\nhint: %s\n", f.message.c_str(), f.detail.c_str(),
                     f.hint.c_str());
        std::exit(1);
    }
    return true;
}();

// Names as RASTMILL_KERNELS gives them: those this CPU runs in any case; every other one refused
// with the name and a hint naming those it runs, the active one kept.
TEST(DigitKernels, ChosenByName) {
    const std::string best = active_kernels().name;
    const std::string runnable = runnable_kernel_names();
    EXPECT_EQ(std::string(runnable_kernels().front()->name), "portable");
    if (!KERNELS_FROM_ENVIRONMENT) {  // by default, the last
        EXPECT_EQ(std::string(runnable_kernels().back()->name), best);
    }
    for (const digit_kernels* kernels : runnable_kernels()) {
        std::string upper = kernels->name;
        for (char& c : upper)
            c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        for (const std::string& name : {std::string(kernels->name), upper}) {
            EXPECT_FALSE(set_kernels(name).failed()) << name;
            EXPECT_EQ(active_kernels().name, kernels->name) << name;
        }
    }
    ASSERT_FALSE(set_kernels(best).failed());
    struct {
        const char* name;
        const char* message;
    } const refused[] = {
        {"", MSG_UNKNOWN_KERNELS},          {"neon2", MSG_UNKNOWN_KERNELS},
        {"avx", MSG_UNKNOWN_KERNELS},       {" portable", MSG_UNKNOWN_KERNELS},
        {"portable ", MSG_UNKNOWN_KERNELS}, {"sse2", MSG_UNKNOWN_KERNELS},
    };
    for (const auto& r : refused) {
        const failure f = set_kernels(r.name);
        EXPECT_EQ(f.message, r.message) << r.name;
        EXPECT_EQ(f.detail, r.name);
        EXPECT_EQ(f.hint, "this CPU runs " + runnable) << r.name;
        EXPECT_EQ(active_kernels().name, best) << r.name;
    }
}

// The tokens after 9 bytes of white space, separated by spaces and a CR LF every third, with
// the offset of each one's end into ends: the text the kernels read from the ends.
std::string token_text(const std::vector<std::string>& tokens, std::vector<std::uint32_t>& ends) {
    std::string text(9, ' ');
    for (const std::string& token : tokens) {
        text += token;
        ends.push_back(static_cast<std::uint32_t>(text.size()));
        text += ends.size() % 3 == 0 ? "\r\n" : " ";
    }
    return text;
}

// The short-integer kernel of every implementation that has one, on tokens joined by white space
// after nine bytes of it: each converted value the token's (its low 32 bits), and the count
// converted the same for all, four at a time, up to the first four with a token longer than
// eight bytes or a lone minus, the last count % 4 left.
TEST(DigitKernels, ShortIntegersAsTokensSay) {
    struct row {
        std::vector<std::string> tokens;
        std::size_t converted;
    };
    const std::vector<row> rows = {
        {{"1", "-1", "0", "-0", "12", "-12", "123", "-123"}, 8},
        {{"1234", "-1234", "12345", "-12345", "123456", "-123456", "1234567", "-1234567"}, 8},
        {{"32767", "-32768", "32768", "-32769", "65535", "65536", "-65536", "-65535"}, 8},
        {{"99999999", "-9999999", "12345678", "-0000000", "00000000", "2147", "-2147", "9"}, 8},
        {{"127", "-128", "128", "-129", "255", "256"}, 4},
        {{"1", "2", "3", "4", "5", "6", "7"}, 4},
        {{"-9999", "1599", "-9999", "1580", "1556", "1574", "1561", "-9999", "1520", "1596", "1580",
          "1519", "1571"},
         12},
        {{"1", "2", "3"}, 0},
        {{"-", "1", "2", "3", "4", "5", "6", "7"}, 0},
        {{"1", "2", "3", "4", "5", "-", "7", "8"}, 4},
        {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "-"}, 8},
        {{"1", "2", "3", "4", "5", "6", "7", "8", "-", "10", "11", "12", "13", "14"}, 8},
        {{"123456789", "1", "2", "3", "4", "5", "6", "7"}, 0},
        {{"1", "2", "3", "4", "5", "6", "7", "-12345678"}, 4},
        {{"1", "2", "3", "4", "4294967296", "6", "7", "8"}, 4},
        {{"1", "2", "3", "4294967296", "5", "6", "7", "8"}, 0},
        {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "-99999999"}, 12},
    };
    for (const digit_kernels* kernels : runnable_kernels()) {
        if (kernels->convert_short_integers == nullptr) continue;
        for (const row& r : rows) {
            std::vector<std::uint32_t> ends;
            const std::string text = token_text(r.tokens, ends);
            std::vector<std::int32_t> out(ends.size() + 8, 77);
            const std::size_t converted =
                kernels->convert_short_integers(text.data(), ends.data(), ends.size(), out.data());
            EXPECT_EQ(converted, r.converted) << kernels->name << ": " << text;
            for (std::size_t k = 0; k < converted && k < r.tokens.size(); ++k) {
                EXPECT_EQ(out[k], static_cast<std::int32_t>(std::stoll(r.tokens[k])))
                    << kernels->name << ": " << r.tokens[k];
            }
            EXPECT_EQ(out[converted], 77) << kernels->name << ": wrote past its count";
        }
    }
}

// The fixed-point kernels of every implementation that has them, four or eight tokens a step:
// how many they take (stopping before the first four with another shape), and each value as
// scan_cell_real reads the token (the digits read as an integer, divided by 10^places where there
// is a point, rounded once), to the bit.
TEST(DigitKernels, FixedPointAsTokensSay) {
    struct row {
        int places;
        std::vector<std::string> tokens;
        std::size_t converted;
    };
    const std::vector<row> rows = {
        {3,
         {"1542.989", "-9999", "1599.574", "-0.001", "0.000", "-0.000", "12.345", "9999.999"},
         8},
        {3, {"1.234", "2.345", "3.456", "4.567", "5.678", "6.789", "7.891"}, 4},
        {1,
         {"1.5", "-2.5", "3", "-4", "5.0", "6.1", "7.9", "8.5", "9.5", "10.5", "11.5", "12.5"},
         12},
        {6, {"1.000001", "-.999999", ".123456", "-.654321", "1", "2", "3", "4"}, 8},
        {6, {"1.000001", "-0.999999", ".123456", "-.654321", "1", "2", "3", "4"}, 0},
        {2, {"1.25", "2.5", "3.75", "4.00", "5.25", "6.25", "7.25", "8.25"}, 0},
        {2, {"1.25", "2.25", "3.75", "4.00", "5.25", "6.2.5", "7.25", "8.25"}, 4},
        {2, {"1.25", "2.25", "3.75", "4.00", "5.25", "6.25", "7.25", "-"}, 4},
        {2,
         {"1.25", "2.25", "3.75", "4.00", "5.25", "6.25", "7.25", "8.25", "123456.25", "1.25",
          "1.25", "1.25"},
         8},
        {2, {"-", "2.25", "3.75", "4.00", "5.25", "6.25", "7.25", "8.25"}, 0},
        {1, {"1.5", "2.5", "3.5"}, 0},
        {4, {"0.0001", "-0.0001", "999.9999", "123.5678", "1.2345", "1", "-12", "123"}, 8},
        {4, {"0.0001", "-0.0001", "9999.9999", "1234.5678", "1.2345", "1", "-12", "123"}, 0},
    };
    for (const digit_kernels* kernels : runnable_kernels()) {
        if (kernels->convert_fixed_floats == nullptr) continue;
        for (const row& r : rows) {
            std::vector<std::uint32_t> ends;
            const std::string text = token_text(r.tokens, ends);
            std::vector<float> floats(ends.size() + 8, 77.0F);
            std::vector<double> doubles(ends.size() + 8, 77.0);
            const std::size_t as_floats = kernels->convert_fixed_floats(
                text.data(), ends.data(), ends.size(), r.places, floats.data());
            const std::size_t as_doubles = kernels->convert_fixed_doubles(
                text.data(), ends.data(), ends.size(), r.places, doubles.data());
            EXPECT_EQ(as_floats, r.converted) << kernels->name << ": " << text;
            EXPECT_EQ(as_doubles, r.converted) << kernels->name << ": " << text;
            for (std::size_t k = 0; k < r.converted && k < r.tokens.size(); ++k) {
                // The correctly rounded values, also where the test's own arithmetic is x87's.
                const char* token = r.tokens[k].c_str();
                const float f = scan_cell_real<float>(token).value;
                const double d = scan_cell_real<double>(token).value;
                EXPECT_EQ(std::bit_cast<std::uint32_t>(floats[k]), std::bit_cast<std::uint32_t>(f))
                    << kernels->name << ": " << token << " " << floats[k] << " " << f;
                EXPECT_EQ(std::bit_cast<std::uint64_t>(doubles[k]), std::bit_cast<std::uint64_t>(d))
                    << kernels->name << ": " << token << " " << doubles[k] << " " << d;
                EXPECT_EQ(std::signbit(floats[k]), token[0] == '-')
                    << kernels->name << ": " << token;
            }
            EXPECT_EQ(floats[as_floats], 77.0F) << kernels->name << ": wrote past its count";
            EXPECT_EQ(doubles[as_doubles], 77.0) << kernels->name << ": wrote past its count";
        }
    }
}

// The set-bit kernel of every implementation that has one: the offsets a loop over the bits
// finds, for blocks of no bits, of all 64, of 16, 17, 32, 33 and 48 bits and at random.
TEST(DigitKernels, BitOffsetsInOrder) {
    std::mt19937_64 random(5);
    std::vector<std::vector<std::uint64_t>> rows = {
        {0},
        {~std::uint64_t(0)},
        {1, std::uint64_t(1) << 63, 0, 0x8000000000000001},
        {0xFFFF, 0x1FFFF, 0xFFFFFFFF, 0x1FFFFFFFF, 0xFFFFFFFFFFFF, ~std::uint64_t(0), 0},
        std::vector<std::uint64_t>(64, ~std::uint64_t(0)),
    };
    for (int round = 0; round < 50; ++round) {
        std::vector<std::uint64_t> blocks(1 + random() % 64);
        for (std::uint64_t& b : blocks)
            b = random() & random() & (round % 2 == 0 ? random() : ~std::uint64_t(0));
        rows.push_back(blocks);
    }
    for (const digit_kernels* kernels : runnable_kernels()) {
        if (kernels->flatten_bits == nullptr) continue;
        for (const std::vector<std::uint64_t>& bits : rows) {
            std::vector<std::uint32_t> expected;
            for (std::size_t b = 0; b < bits.size(); ++b) {
                for (std::uint32_t i = 0; i < 64; ++i) {
                    if ((bits[b] >> i) & 1)
                        expected.push_back(static_cast<std::uint32_t>(64 * b) + i);
                }
            }
            std::vector<std::uint32_t> got(64 * bits.size() + 64);
            const std::size_t count = kernels->flatten_bits(bits.data(), bits.size(), got.data());
            got.resize(count);
            EXPECT_EQ(got, expected) << kernels->name << ": " << bits.size() << " blocks";
        }
    }
}

// The block classifier of every implementation that has one: the masks classify_block gives, for
// every byte value in every place of a block and for random text of grid bytes.
TEST(DigitKernels, BlockClassesAsTheScan) {
    std::mt19937 random(7);
    std::string text;
    for (int value = 0; value < 256; ++value)
        text += static_cast<char>(value);
    for (int value = 255; value >= 0; --value)
        text += static_cast<char>(value);
    const std::string grid_bytes = " \t\n\v\f\r0123456789-.+eEx\x1A\x80\xFF";
    for (int i = 0; i < 64 * 40; ++i)
        text += grid_bytes[random() % grid_bytes.size()];
    text += std::string(64 + 63, ' ');  // the last block's bytes, read from any start
    for (const digit_kernels* kernels : runnable_kernels()) {
        if (kernels->classify_blocks == nullptr) continue;
        for (std::size_t start = 0; start < 64; start += 5) {
            const std::size_t blocks = (text.size() - 64 - start) / 64;
            std::vector<byte_classes> got(blocks);
            kernels->classify_blocks(text.data() + start, blocks, got.data());
            for (std::size_t b = 0; b < blocks; ++b) {
                const byte_classes expected = classify_block(text.data() + start + 64 * b);
                EXPECT_EQ(got[b].separators, expected.separators) << kernels->name << " " << b;
                EXPECT_EQ(got[b].digits, expected.digits) << kernels->name << " " << b;
                EXPECT_EQ(got[b].minus, expected.minus) << kernels->name << " " << b;
                EXPECT_EQ(got[b].points, expected.points) << kernels->name << " " << b;
            }
        }
    }
}

}  // namespace
