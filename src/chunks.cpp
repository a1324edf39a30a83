#include "chunks.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "chars.h"
#include "text_number.h"

bool open_chunk_source(chunk_source& source, source_reader& reader, std::size_t capacity,
                       std::size_t width, bool integral) {
    source.reader = &reader;
    source.capacity = std::max(capacity, MIN_CHUNK_BYTES);
    source.width = width;
    source.cut_unit = width;
    source.limit = UINT64_MAX;
    source.integral = integral;
    source.may_wait = reads_may_wait(reader);
    // A carry of the size left by a run before is kept: fresh pages cost a fault each.
    if (!source.carry || source.carry_size != source.capacity) {
        source.carry.reset(new (std::nothrow) char[source.capacity]);
        source.carry_size = source.capacity;
    }
    source.carried = 0;
    source.input_over = false;
    source.long_token = false;
    return source.carry != nullptr;
}

bool reserve_carry(chunk_source& source, std::size_t capacity) {
    if (capacity <= source.capacity) return true;
    std::unique_ptr<char[]> carry(new (std::nothrow) char[capacity]);
    if (!carry) return false;
    std::memcpy(carry.get(), source.carry.get(), source.carried);
    source.carry = std::move(carry);
    source.carry_size = capacity;
    return true;
}

namespace {

// One past the last white space in text[from, to), or 0 when there is none.
std::size_t end_of_last_space(const char* text, std::size_t from, std::size_t to) {
    for (std::size_t i = to; i > from; --i) {
        if (is_space(text[i - 1])) return i;
    }
    return 0;
}

void carry_from(chunk_source& source, const char* bytes, std::size_t size) {
    std::memcpy(source.carry.get(), bytes, size);
    source.carried = size;
}

// Reads into bytes after the carried ones until the chunk is full, the input is over, or a read
// that could wait is not to be made. cut(bytes, from, to) takes in what was read at [from, to) and
// returns how much of the chunk is whole tokens or elements, already of use.
template <typename Cut>
std::size_t read_chunk(chunk_source& source, char* bytes, bool work_pending, Cut&& cut) {
    std::size_t size = source.carried;
    std::memcpy(bytes, source.carry.get(), size);
    cut(bytes, 0, size);
    // One byte stays free for the newline text mode adds at the end.
    while (size + 1 < source.capacity && !source.input_over) {
        if (source.may_wait && (cut(bytes, size, size) != 0 || work_pending) &&
            !input_ready(*source.reader)) {
            break;
        }
        if (source.limit == 0) break;
        // read_into keeps one byte back: it takes up to one less than it is given.
        std::size_t room = source.capacity - size;
        if (source.limit < room) room = static_cast<std::size_t>(source.limit) + 1;
        const std::size_t n = read_into(*source.reader, bytes + size, room);
        if (source.limit != UINT64_MAX) source.limit -= std::min<std::uint64_t>(n, source.limit);
        if (n == 0) {
            source.input_over = true;
            break;
        }
        cut(bytes, size, size + n);
        size += n;
    }
    return size;
}

fill_result cut_at(chunk_source& source, char* bytes, std::size_t size, std::size_t cut,
                   std::size_t& kept) {
    // After a failed read the bytes after the cut are a token or an element cut short; the carry
    // keeps them, and they never become a value.
    carry_from(source, bytes + cut, size - cut);
    kept = cut;
    bytes[cut] = '\0';
    if (cut != 0) return fill_result::filled;
    return source.input_over || source.limit == 0 ? fill_result::over : fill_result::waiting;
}

// bytes holds the start of a token that fills it: reads the token to its end and leaves in bytes
// its short form with the same value, followed by a newline.
fill_result read_long_token(chunk_source& source, char* bytes, std::size_t& size) {
    long_token token;
    token.integral = source.integral;
    token.rounded = source.rounded;
    feed_long_token(token, bytes, bytes + size);
    for (;;) {
        const std::size_t n = read_into(*source.reader, bytes, source.capacity);
        if (n == 0) {  // only after a failed read: the token may go on in what was not read
            source.input_over = true;
            return fill_result::over;
        }
        const char* stop = std::find_if(bytes, bytes + n, is_space);
        feed_long_token(token, bytes, stop);
        if (stop != bytes + n) {
            carry_from(source, stop, static_cast<std::size_t>(bytes + n - stop));
            break;
        }
    }
    const std::string short_form = finish_long_token(token);
    std::memcpy(bytes, short_form.data(), short_form.size());
    size = short_form.size() + 1;
    bytes[size - 1] = '\n';
    bytes[size] = '\0';
    return fill_result::filled;
}

fill_result fill_text(chunk_source& source, char* bytes, std::size_t& size, bool work_pending) {
    std::size_t cut = 0;
    const std::size_t read = read_chunk(source, bytes, work_pending,
                                        [&](const char* text, std::size_t from, std::size_t to) {
                                            cut = std::max(cut, end_of_last_space(text, from, to));
                                            return cut;
                                        });
    if (cut == 0 && read + 1 >= source.capacity) {
        source.carried = 0;
        size = read;
        source.long_token = true;
        return fill_result::waiting;
    }
    return cut_at(source, bytes, read, cut, size);
}

fill_result fill_elements(chunk_source& source, char* bytes, std::size_t& size, bool work_pending) {
    const std::size_t width = source.cut_unit;
    const std::size_t read =
        read_chunk(source, bytes, work_pending,
                   [&](const char*, std::size_t, std::size_t to) { return to / width * width; });
    return cut_at(source, bytes, read, read / width * width, size);
}

}  // namespace

bool source_goes_on(chunk_source& source) {
    if (source.carried != 0) return true;
    if (source.input_over) return false;
    char byte[2];
    return read_into(*source.reader, byte, sizeof byte) != 0;
}

fill_result fill_chunk(chunk_source& source, char* bytes, std::size_t& size, bool work_pending) {
    if (source.width != 0) return fill_elements(source, bytes, size, work_pending);
    if (!source.long_token) {
        const fill_result filled = fill_text(source, bytes, size, work_pending);
        if (!source.long_token) return filled;
    }
    // The rest of the token is read with reads that may wait, which they must not while values
    // before it are pending: it stays in bytes until they are taken.
    if (work_pending && source.may_wait) return fill_result::waiting;
    source.long_token = false;
    return read_long_token(source, bytes, size);
}
