#include "source_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "chars.h"
#include "test_support.h"

namespace {

// Everything the reader yields, byte by byte.
std::string drain(source_reader& reader) {
    std::string all;
    for (int c; (c = get_byte(reader)) >= 0;)
        all += static_cast<char>(c);
    return all;
}

TEST(SourceReader, TextModeEndsAtTheMarkAndEndsTheLastLine) {
    struct {
        std::string bytes;
        bool text_mode;
        std::string yielded;
    } const cases[] = {
        {"1 2", true, "1 2\n"},
        {"1 2\n", true, "1 2\n\n"},
        {"1 2\x1A 3", true, "1 2\n"},
        {"\x1A", true, "\n"},
        {"", true, "\n"},
        {"1 2\x1A 3", false, "1 2\x1A 3"},
        {"", false, ""},
        {std::string("a\0b\r\n", 5), true, std::string("a\0b\r\n\n", 6)},
    };
    for (const auto& c : cases) {
        for (const std::size_t capacity : {std::size_t(1), std::size_t(17), SOURCE_BLOCK_SIZE}) {
            text_source source(c.bytes, capacity, c.text_mode);
            EXPECT_EQ(drain(source.reader), c.yielded) << c.bytes << " " << capacity;
        }
    }
}

// Refills keep the unread bytes, and the data always ends in the NUL sentinel.
TEST(SourceReader, RefillKeepsUnreadBytes) {
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += std::to_string(i * 7919) + (i % 3 == 0 ? "\n" : " ");
    text_source source(text, 16);
    std::string seen;
    while (ensure_bytes(source.reader, 5) != 0) {
        const source_reader& r = source.reader;
        ASSERT_EQ(*r.end, '\0');
        seen += *r.pos;
        advance_to(source.reader, r.pos + 1);
    }
    EXPECT_EQ(seen, text + "\n");
}

}  // namespace
