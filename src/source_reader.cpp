#include "source_reader.h"

#include <algorithm>
#include <cstring>

#include "text_number.h"

namespace {

void set_token_limit(source_reader& reader) {
    char* limit = reader.end;
    while (limit > reader.pos && !is_space(limit[-1]))
        --limit;
    reader.token_limit = limit;
}

}  // namespace

void open_reader(source_reader& reader, std::FILE* file, bool text_mode, std::size_t capacity) {
    // Our own block is the only buffer; stdio's would copy every byte once more.
    std::setvbuf(file, nullptr, _IONBF, 0);
    reader.file = file;
    // The header needs to see a whole keyword ahead; smaller blocks only make sense in tests.
    capacity = std::max(capacity, MIN_SOURCE_BLOCK_SIZE);
    // Two spare bytes: the newline added at the end of text input and the NUL sentinel. Not
    // zero-filled: untouched pages of a large block cost nothing for small grids.
    reader.storage.reset(new char[capacity + 2]);
    reader.capacity = capacity;
    reader.pos = reader.end = reader.token_limit = reader.storage.get();
    *reader.end = '\0';
    reader.text_mode = text_mode;
    reader.at_eof = reader.read_error = false;
}

bool refill(source_reader& reader) {
    const std::size_t kept = static_cast<std::size_t>(reader.end - reader.pos);
    char* base = reader.storage.get();
    if (kept != 0 && reader.pos != base) std::memmove(base, reader.pos, kept);
    reader.pos = base;
    reader.end = base + kept;
    std::size_t added = 0;
    if (!reader.at_eof && kept < reader.capacity) {
        const std::size_t wanted = reader.capacity - kept;
        added = std::fread(reader.end, 1, wanted, reader.file);
        if (added < wanted) {
            reader.at_eof = true;
            reader.read_error = std::ferror(reader.file) != 0;
        }
        if (reader.text_mode) {
            // A 0x1A byte is the end-of-file mark of text files from DOS and Windows.
            if (const void* mark = std::memchr(reader.end, 0x1A, added)) {
                added = static_cast<std::size_t>(static_cast<const char*>(mark) - reader.end);
                reader.at_eof = true;
            }
            if (reader.at_eof) reader.end[added++] = '\n';
        }
        reader.end += added;
    }
    *reader.end = '\0';
    set_token_limit(reader);
    return added != 0;
}

std::size_t ensure_bytes(source_reader& reader, std::size_t count) {
    while (static_cast<std::size_t>(reader.end - reader.pos) < count && refill(reader)) {
    }
    return static_cast<std::size_t>(reader.end - reader.pos);
}

int peek_byte(source_reader& reader) {
    if (ensure_bytes(reader, 1) == 0) return -1;
    return static_cast<unsigned char>(*reader.pos);
}

int get_byte(source_reader& reader) {
    const int c = peek_byte(reader);
    if (c >= 0) ++reader.pos;
    return c;
}

namespace {

const char* read_long_token(source_reader& reader, bool integral) {
    long_token token;
    token.integral = integral;
    for (;;) {
        char* stop = reader.pos;
        while (stop != reader.end && !is_space(*stop))
            ++stop;
        feed_long_token(token, reader.pos, stop);
        reader.pos = stop;
        if (stop != reader.end || !refill(reader)) break;
    }
    reader.spill = finish_long_token(token);
    return reader.spill.c_str();
}

}  // namespace

const char* next_token(source_reader& reader, const char* p, bool integral) {
    for (;;) {
        while (is_space(*p))
            ++p;
        if (p < reader.token_limit) return p;
        reader.pos = const_cast<char*>(p);
        if (!refill(reader)) {
            if (reader.pos == reader.end) return nullptr;
            return read_long_token(reader, integral);
        }
        p = reader.pos;
    }
}
