#include "row_readers.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#include "element_types.h"
#include "failure.h"
#include "formats.h"
#include "text_number.h"

namespace {

// A token longer than the whole buffer, read in pieces; its short form, with the same value, is
// left in spill and the reader is after the token.
const char* read_long_token(source_reader& reader, bool integral, std::string& spill) {
    long_token token;
    token.integral = integral;
    for (;;) {
        const char* stop = reader.pos;
        while (stop != reader.end && !is_space(*stop))
            ++stop;
        feed_long_token(token, reader.pos, stop);
        advance_to(reader, stop);
        if (stop != reader.end || !refill(reader)) break;
    }
    if (reader.read_error) return nullptr;  // the token may go on in what could not be read
    spill = finish_long_token(token);
    return spill.c_str();
}

// Skips white space from p and returns the start of the next cell token, which is followed by
// white space: in the buffer, or in spill for a token longer than the buffer. nullptr when the
// input is over or a read failed before the token was whole.
[[gnu::noinline]] const char* next_token(source_reader& reader, const char* p, bool integral,
                                         std::string& spill) {
    for (;;) {
        while (is_space(*p))
            ++p;
        if (p < reader.token_limit) return p;
        advance_to(reader, p);
        if (!refill(reader)) {
            // After a failed read the unread bytes may be a token cut short.
            if (reader.pos == reader.end || reader.read_error) return nullptr;
            return read_long_token(reader, integral, spill);
        }
        p = reader.pos;
    }
}

template <typename T>
[[gnu::always_inline]] inline number_scan<T> scan_cell(const char* p) {
    if constexpr (std::is_floating_point_v<T>) {
        return scan_cell_real<T>(p);
    } else {
        const number_scan<std::uint32_t> scan = scan_cell_integer(p);
        return {static_cast<T>(scan.value), scan.end, scan.ok};  // keeps the low bits
    }
}

template <typename T>
std::int32_t read_text_values(source_reader& reader, std::int32_t count, T* out) {
    std::string spill;
    const char* p = reader.pos;
    for (std::int32_t i = 0; i < count; ++i) {
        while (is_space(*p))
            ++p;
        if (p >= reader.token_limit) {
            p = next_token(reader, p, std::is_integral_v<T>, spill);
            if (p == nullptr) return i;
            if (p == spill.c_str()) {
                const number_scan<T> scan = scan_cell<T>(p);
                if (!scan.ok || scan.end != p + spill.size()) return i;
                out[i] = scan.value;
                p = reader.pos;
                continue;
            }
        }
        const number_scan<T> scan = scan_cell<T>(p);
        if (!scan.ok || !is_space(*scan.end)) {
            advance_to(reader, p);
            return i;
        }
        out[i] = scan.value;
        p = scan.end;
    }
    advance_to(reader, p);
    return count;
}

template <typename T>
span_parse parse_span(const char* p, const char* last, T* out) {
    std::size_t n = 0;
    for (;;) {
        while (p != last && is_space(*p))
            ++p;
        if (p == last) return {n, false};
        const number_scan<T> scan = scan_cell<T>(p);
        if (!scan.ok || !is_space(*scan.end)) return {n, true};
        out[n++] = scan.value;
        p = scan.end;
    }
}

}  // namespace

span_parse parse_text_span(const char* first, const char* last, int format, void* out) {
    span_parse result{0, false};
    const bool binary = with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        result = parse_span<T>(first, last, static_cast<T*>(out));
    });
    if (!binary) fatal_error(MSG_FATAL_COLON, MSG_UNKNOWN_FORMAT);
    return result;
}

std::int32_t read_ascii_row(source_reader& reader, std::int32_t count, int format, void* buffer) {
    std::int32_t moved = 0;
    const bool binary = with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        moved = read_text_values<T>(reader, count, static_cast<T*>(buffer));
    });
    if (!binary) fatal_error(MSG_FATAL_COLON, MSG_UNKNOWN_FORMAT);
    return std::max(moved, 0);
}

std::int32_t read_binary_row(source_reader& reader, std::int32_t count, int format, void* buffer) {
    if (count < 1) return 0;
    const auto width = static_cast<std::size_t>(element_size[format]);
    auto* out = static_cast<unsigned char*>(buffer);
    const std::size_t wanted = static_cast<std::size_t>(count) * width;
    std::size_t got = 0;
    while (got < wanted && ensure_bytes(reader, 1) != 0) {
        const std::size_t n =
            std::min(wanted - got, static_cast<std::size_t>(reader.end - reader.pos));
        std::memcpy(out + got, reader.pos, n);
        advance_to(reader, reader.pos + n);
        got += n;
    }
    swap_to_little_endian(out, got / width, static_cast<int>(width));  // the same swap reads them
    return static_cast<std::int32_t>(got / width);
}
