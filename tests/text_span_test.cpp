#include "text_span.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
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

// Strides of short signed integers, as Int16 and Int32 grids hold them, which every format takes
// four at a time through a vector kernel where the CPU has one (reals through the fixed-point
// one): one to nine bytes, with and without a minus, -9999 among them, any separators, tokens at
// the span's first bytes (too close to it for the kernel's loads) and across every 64-byte edge;
// now and then a lone minus, a longer token or a decimal, which must stop the kernel where it is
// without a value changing, and a minus zero, which a real keeps.
TEST(TextSpan, ShortIntegerStridesInBulk) {
    std::mt19937 random(19);
    static const char* const separators[] = {" ", "\n", "\r\n", "\t", "   ", "\v\f "};
    static const char* const odd[] = {"-",          "123456789", "-12345678", "99999999", "-0",
                                      "4294967296", "-000",      "12.5",      "-0.5",     "7.25"};
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
        for (const element_format format :
             {FMT_SHORTINT, FMT_USHORTINT, FMT_INTEGER, FMT_CHAR, FMT_FLOAT, FMT_DOUBLE})
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
            for (const element_format format : {FMT_SHORTINT, FMT_INTEGER, FMT_CHAR, FMT_FLOAT})
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

// A random float's decimal: its exact digits (as GDAL writes them) or some of them, with or
// without a minus, in fixed notation.
std::string float_decimal(std::mt19937& random) {
    const float magnitude = std::ldexp(1.0F + static_cast<float>(random() % (1 << 23)) / (1 << 23),
                                       static_cast<int>(random() % 34) - 12);
    char text[80];
    std::snprintf(text, sizeof text, "%.*f", static_cast<int>(random() % 22),
                  static_cast<double>(magnitude));
    std::string token = text;
    if (token.find('.') != std::string::npos && random() % 2 == 0) {
        while (token.back() == '0')
            token.pop_back();
    }
    return (random() % 4 == 0 ? "-" : "") + token;
}

// Digits with a point at any place or none: one to 22 digits, leading zeros among them.
std::string any_decimal(std::mt19937& random) {
    const int digits = 1 + static_cast<int>(random() % (random() % 3 == 0 ? 22 : 19));
    const int point = static_cast<int>(random() % static_cast<unsigned>(digits + 2)) - 1;
    std::string token = random() % 3 == 0 ? "-" : "";
    for (int d = 0; d < digits; ++d) {
        if (d == point) token += '.';
        token += static_cast<char>('0' + random() % 10);
    }
    if (point == digits) token += '.';
    return token;
}

// Decimals of up to 19 digits, as GDAL writes floats, which reals take eight at a time through
// the vector kernel where the CPU has one: any digits and places, signs, -9999 among them, tokens
// near the span's first byte and longer than a kernel's loads, spans cut at any token, values
// wanted up to and past the last token, and now and then a shape that must go to the token
// loop without a value changing.
TEST(TextSpan, LongDecimalStridesInBulk) {
    std::mt19937 random(29);
    static const char* const odd[] = {"1e5",
                                      "nan",
                                      "1.2.3",
                                      "-",
                                      ".",
                                      "-.",
                                      "+1.5",
                                      "1-2",
                                      "--5",
                                      "-0",
                                      "0",
                                      ".5",
                                      "5.",
                                      "-.5",
                                      "inf",
                                      "1.",
                                      "-9999",
                                      "00000000000000000000001.5",
                                      "1234567890123456789012345678901234567890.5",
                                      "0.00000000000000000001",
                                      "12345678901234567890",
                                      "1234567890123456789",
                                      "-1234567890123456789",
                                      "9999999999999999999",
                                      "18446744073709551616",
                                      "1e-3",
                                      "1.5E+2",
                                      "-0.0"};
    static const char* const separators[] = {" ", "\n", "\r\n", "\t", "  ", "\v\f"};
    for (int round = 0; round < 1200; ++round) {
        const std::size_t odd_odds = 1 + random() % 300;
        const std::size_t count = 1 + random() % (round < 800 ? 50 : 1500);
        std::string text = random() % 2 == 0 ? "" : " ";
        for (std::size_t i = 0; i < count; ++i) {
            const auto kind = random() % 10;
            if (random() % odd_odds == 0) {
                text += odd[random() % std::size(odd)];
            } else if (kind == 0) {
                text += "-9999";
            } else if (kind < 4) {
                text += any_decimal(random);
            } else {
                text += float_decimal(random);
            }
            text += separators[random() % (random() % 3 == 0 ? std::size(separators) : 1)];
        }
        const std::size_t max_values = round % 4 == 0 ? random() % (count + 2) : SIZE_MAX;
        // The span cut at a token's start, as chunks are.
        std::size_t cut = round % 3 == 0 ? random() % text.size() : 0;
        while (cut != 0 && !is_space(text[cut - 1]))
            --cut;
        const std::string span = text.substr(cut);
        for (const element_format format : {FMT_FLOAT, FMT_DOUBLE})
            ASSERT_EQ(span_unlike_reference(span, format, max_values), "")
                << code_of(format) << " " << span.substr(0, 200);
    }
}

// Decimals at and next to the midpoints between two floats, and at the limits of the exact fast
// paths (2^24 with up to 10 places for floats, 2^53 for doubles): the kernel must round each as
// the reference does, or leave it to it.
TEST(TextSpan, LongDecimalsNextToMidpoints) {
    std::mt19937 random(37);
    std::vector<std::string> tokens = {"16777216",
                                       "16777217",
                                       "1677721.6",
                                       "1677721.7",
                                       "16777217.5",
                                       "0.16777216",
                                       "0.0016777217",
                                       "16777215.99",
                                       "9007199254740992",
                                       "9007199254740993",
                                       "900719925474099.3",
                                       "9007199254740991.5",
                                       "1542.989013671875",
                                       "1520.2239990234375",
                                       "-1520.2239990234375",
                                       "0.1",
                                       "0.000000000000001",
                                       "0.0000000000000001",
                                       "1.0000000596046447753906",
                                       "1.00000005960464477",
                                       "1.00000005960464478",
                                       "1.000000059604644775",
                                       "-9999"};
    for (int i = 0; i < 3000; ++i) {
        const float f = std::ldexp(1.0F + static_cast<float>(random() % (1 << 23)) / (1 << 23),
                                   static_cast<int>(random() % 40) - 20);
        const double midpoint =
            (static_cast<double>(f) + static_cast<double>(std::nextafter(f, 2 * f))) / 2;
        const int significant = 17 + static_cast<int>(random() % 4);
        const int places =
            std::max(0, significant - 1 - static_cast<int>(std::floor(std::log10(midpoint))));
        char text[96];
        std::snprintf(text, sizeof text, "%.*f", places, midpoint);
        std::string token = text;
        tokens.push_back(token);
        // One up and one down in the last digit, where no carry is needed.
        if (token.back() != '9')
            tokens.push_back(token.substr(0, token.size() - 1) + char(token.back() + 1));
        if (token.back() != '0')
            tokens.push_back(token.substr(0, token.size() - 1) + char(token.back() - 1));
        tokens.push_back("-" + token);
    }
    // Every token at every place of a group of eight, after tokens that leave the first loads.
    std::string text = "1.5 2.5 3.5 ";
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        text += tokens[i];
        text += i % 7 == 0 ? "\n" : " ";
    }
    for (const element_format format : {FMT_FLOAT, FMT_DOUBLE}) {
        ASSERT_EQ(span_unlike_reference(text, format, SIZE_MAX), "") << code_of(format);
        ASSERT_EQ(span_unlike_reference(text.substr(4), format, SIZE_MAX), "") << code_of(format);
        for (const std::string& token : tokens)
            ASSERT_EQ(span_unlike_reference("-9999 1542.989013671875 -1520.2239990234375 " + token +
                                                " 0.5 1 2 3 4 5 6 7 8 9 10 11 12 13 14 ",
                                            format, SIZE_MAX),
                      "")
                << code_of(format) << " " << token;
    }
}

}  // namespace
