#include "text_span.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "formats.h"
#include "span_reference.h"
#include "test_support.h"

namespace {

// Tokens as grids hold them: class codes (one and two digits, the shape parsed in bulk), Int16
// values with no-data, and now and then a token that is longer, signed, real or no number.
std::string span_soup(std::mt19937& random, std::size_t count) {
    static const char* const rare[] = {"123",      "-4",        "+7",  "x",          "1.0",
                                       "007",      "-",         "1e3", "4294967301", "-9999",
                                       "99999999", "123456789", "1-2"};
    static const char* const separators[] = {" ", "\n", "\r\n", "\t", "  ", "\v\f"};
    const std::size_t rare_odds = 1 + random() % 2000;
    std::string text = random() % 2 == 0 ? "" : " ";
    for (std::size_t i = 0; i < count; ++i) {
        if (random() % rare_odds == 0) {
            text += rare[random() % std::size(rare)];
        } else {
            text += std::to_string(random() % (random() % 3 == 0 ? 100 : 13));
        }
        text += separators[random() % (random() % 4 == 0 ? std::size(separators) : 1)];
    }
    return text;
}

// The span parser (byte masks, bulk one- and two-digit strides) gives what the one-byte parser
// gives: the same values, the same stop and the same place to go on from, whatever the number
// of values wanted.
TEST(TextSpan, SameAsTheOneByteParser) {
    std::mt19937 random(31);
    for (int round = 0; round < 400; ++round) {
        std::string text = span_soup(random, 1 + random() % 3000);
        if (text.back() != ' ' && text.back() != '\n') text += ' ';
        const std::size_t max_values = round % 3 == 0 ? SIZE_MAX : random() % 2000;
        for (const element_format format :
             {FMT_CHAR, FMT_UCHAR, FMT_SHORTINT, FMT_UINTEGER, FMT_FLOAT, FMT_DOUBLE})
            ASSERT_EQ(span_unlike_reference(text, format, max_values), "") << code_of(format);
    }
}

// Strides of one- and two-digit tokens only, which every integer target takes through the vector
// kernel where the CPU has one (wider ones as bytes widened): any separators, tokens across every
// 16- and 64-byte edge, spans from a few bytes, values wanted up to and past the last token.
TEST(TextSpan, ShortDigitStridesInBulk) {
    std::mt19937 random(17);
    static const char* const separators[] = {" ", "\n", "\r\n", "\t", "   ", "\v\f "};
    for (int round = 0; round < 3000; ++round) {
        const std::size_t count = 1 + random() % (round < 2000 ? 40 : 3000);
        std::string text = random() % 2 == 0 ? "" : "\n";
        for (std::size_t i = 0; i < count; ++i) {
            text += std::to_string(random() % (random() % 2 == 0 ? 10 : 100));
            text += separators[random() % (random() % 3 == 0 ? std::size(separators) : 1)];
        }
        const std::size_t max_values = round % 4 == 0 ? random() % (count + 2) : SIZE_MAX;
        for (const element_format format : {FMT_CHAR, FMT_UCHAR, FMT_SHORTINT, FMT_UINTEGER})
            ASSERT_EQ(span_unlike_reference(text, format, max_values), "") << code_of(format);
    }
}

// Strides of short signed integers, as Int16 and Int32 grids hold them, which every integer
// format takes four at a time through the vector kernel where the CPU has one: one to nine bytes,
// with and without a minus, -9999 among them, any separators, tokens at the span's first bytes
// (too close to it for the kernel's loads) and across every 64-byte edge; now and then a lone
// minus or a longer token, which must stop the kernel where it is without a value changing.
TEST(TextSpan, ShortIntegerStridesInBulk) {
    std::mt19937 random(19);
    static const char* const separators[] = {" ", "\n", "\r\n", "\t", "   ", "\v\f "};
    static const char* const odd[] = {"-",        "123456789", "-12345678",
                                      "99999999", "-0",        "4294967296"};
    for (int round = 0; round < 3000; ++round) {
        const std::size_t count = 1 + random() % (round < 2000 ? 40 : 2000);
        const std::size_t odd_odds = round % 3 == 0 ? 1 + random() % 200 : SIZE_MAX;
        std::string text = random() % 2 == 0 ? "" : "\n";
        for (std::size_t i = 0; i < count; ++i) {
            if (random() % odd_odds == 0) {
                text += odd[random() % std::size(odd)];
            } else if (random() % 8 == 0) {
                text += "-9999";
            } else {
                const int digits = 1 + static_cast<int>(random() % 8);
                std::string token = random() % 3 == 0 ? "-" : "";
                for (int d = 0; d < digits && token.size() < 8; ++d)
                    token += static_cast<char>('0' + random() % 10);
                text += token;
            }
            text += separators[random() % (random() % 3 == 0 ? std::size(separators) : 1)];
        }
        const std::size_t max_values = round % 4 == 0 ? random() % (count + 2) : SIZE_MAX;
        for (const element_format format : {FMT_SHORTINT, FMT_USHORTINT, FMT_INTEGER, FMT_CHAR})
            ASSERT_EQ(span_unlike_reference(text, format, max_values), "") << code_of(format);
    }
}

// Short integers where the kernels' groups of four and eight end: 1 to 20 tokens, with a lone
// minus or a token of nine bytes or more in each place in turn (the kernel stops before its
// group, the rest token by token), tokens within nine bytes of the span's first byte, and a
// stride's last blocks, with values wanted cut anywhere.
TEST(TextSpan, ShortIntegerGroupEdges) {
    static const char* const tokens[] = {"-9999", "1599", "-0", "32767",    "-32768",
                                         "65536", "7",    "-1", "99999999", "-9999999"};
    static const char* const odd[] = {"-", "123456789", "-12345678", "4294967296"};
    std::vector<std::string> texts;
    for (std::size_t count = 1; count <= 20; ++count) {
        for (std::size_t at = 0; at <= count; ++at) {
            for (const char* bad : odd) {
                std::string text;
                for (std::size_t k = 0; k < count; ++k) {
                    text += k == at ? bad : tokens[(k * 7 + count) % std::size(tokens)];
                    text += k % 5 == 4 ? "\r\n" : " ";
                }
                texts.push_back(text);
                if (at == count) break;  // no odd token: once
            }
        }
    }
    // Across a stride's end (4096 bytes): a lone minus or a long token in each of its last places.
    for (std::size_t at = 725; at < 765; ++at) {
        std::string text;
        for (std::size_t k = 0; k < 1400; ++k) {
            text += k == at ? (at % 2 == 0 ? "-" : "-123456789") : tokens[k % 2];
            text += ' ';
        }
        texts.push_back(text);
    }
    for (const std::string& text : texts) {
        for (const std::size_t max_values :
             {SIZE_MAX, std::size_t(3), std::size_t(8), std::size_t(13)}) {
            for (const element_format format : {FMT_SHORTINT, FMT_INTEGER, FMT_CHAR})
                ASSERT_EQ(span_unlike_reference(text, format, max_values), "")
                    << code_of(format) << " " << max_values << ": " << text.substr(0, 200);
        }
    }
}

// Fixed-point decimals as DEMs hold them, which reals take in bulk (four at a time through the
// vector kernel where the CPU has one): one to six places, tokens of up to eight bytes and one
// more with a minus, no-data integers among them, and now and then a shape that must go to the
// token loop without a value changing: other places, points in odd places, short and long
// tokens.
TEST(TextSpan, FixedPointStridesInBulk) {
    std::mt19937 random(23);
    static const char* const odd[] = {
        "5",          ".5",         "-.5",       "5.",   "1.2.3", "1e3",    "-",
        "12345678",   "1234567.89", "0.0000001", "-0",   "7.",    "1-2",    "--1.5",
        "99999999.9", "-9999",      "nan",       "+1.5", "1.5.",  "-2.25.", "1.25.5"};
    static const char* const separators[] = {" ", "\n", "\r\n", "\t", "  "};
    for (int round = 0; round < 1500; ++round) {
        const int places = 1 + static_cast<int>(random() % 6);
        const std::size_t odd_odds = 1 + random() % 400;
        const std::size_t count = 1 + random() % (round < 1000 ? 60 : 2500);
        std::string text = random() % 2 == 0 ? "" : " ";
        for (std::size_t i = 0; i < count; ++i) {
            if (random() % odd_odds == 0) {
                text += odd[random() % std::size(odd)];
            } else {
                const int digits = 1 + static_cast<int>(random() % (8 - places));
                std::string token = random() % 5 == 0 ? "-" : "";
                for (int d = 0; d < digits; ++d)
                    token += static_cast<char>('0' + random() % 10);
                token += '.';
                for (int d = 0; d < places; ++d)
                    token += static_cast<char>('0' + random() % 10);
                text += token;
            }
            text += separators[random() % (random() % 3 == 0 ? std::size(separators) : 1)];
        }
        const std::size_t max_values = round % 4 == 0 ? random() % (count + 2) : SIZE_MAX;
        for (const element_format format : {FMT_FLOAT, FMT_DOUBLE})
            ASSERT_EQ(span_unlike_reference(text, format, max_values), "") << code_of(format);
    }
    // A short token whose point would stand inside the token before, where every end has a
    // point in its place: the token before must not be taken with a foreign point.
    for (const char* text :
         {"100.125 1.2.5 7 ", "100.125 12.345 6 ", "1.5 2.5 -3.5 4 5.5 ", "100.125 1.2.5 -7 ",
          "0.25 1.25 .5 ", "-9999 12.5 ", "100.125 -9999 100.125 1.2.5 7 "}) {
        for (const element_format format : {FMT_FLOAT, FMT_DOUBLE})
            ASSERT_EQ(span_unlike_reference(text, format, SIZE_MAX), "") << code_of(format);
    }
}

}  // namespace
