#include "header.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "chars.h"
#include "text_number.h"

namespace {

// What header lines 1 and 2 hold for the header checks: their first five characters and their
// first two tokens (cut at HEADER_TOKEN_LIMIT characters).
constexpr std::size_t HEADER_TOKEN_LIMIT = 64;
struct header_line {
    std::string start;
    std::string tokens[2];
    bool cut[2] = {false, false};
    int token_count = 0;
};

bool equals_lower(std::string_view text, std::string_view keyword) {
    return text.size() == keyword.size() &&
           std::equal(text.begin(), text.end(), keyword.begin(),
                      [](char a, char b) { return to_lower(a) == b; });
}

// Header tokens are shown in messages; control bytes from a binary file would garble the line.
std::string printable(const std::string& token, bool cut) {
    std::string shown;
    for (const char c : token) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            static const char hex[] = "0123456789abcdef";
            shown += "\\x";
            shown += hex[byte >> 4];
            shown += hex[byte & 15];
        } else {
            shown += c;
        }
    }
    return cut ? shown + "..." : shown;
}

failure read_count(const header_line& line, std::int32_t& count) {
    if (line.token_count < 2) return {MSG_FATAL, MSG_NOT_A_GRID};
    const integer_scan scan = scan_integer(line.tokens[1]);
    if (line.cut[1] || !scan.ok || scan.value < 0) {
        return {MSG_INVALID_INTEGER, printable(line.tokens[1], line.cut[1])};
    }
    count = scan.value;
    return {};
}

header_line read_header_line(source_reader& reader) {
    header_line line;
    bool in_token = false;
    for (int c = get_byte(reader); c >= 0 && c != '\n'; c = get_byte(reader)) {
        // Carriage return before the newline belongs to the line end; anywhere else it is text.
        if (c == '\r' && peek_byte(reader) == '\n') continue;
        if (line.start.size() < 5) line.start += static_cast<char>(c);
        if (is_header_separator(c)) {
            in_token = false;
            continue;
        }
        if (!in_token) {
            in_token = true;
            if (line.token_count < 3) ++line.token_count;
        }
        const int at = line.token_count - 1;
        if (at >= 2) continue;
        if (line.tokens[at].size() < HEADER_TOKEN_LIMIT) {
            line.tokens[at] += static_cast<char>(c);
        } else {
            line.cut[at] = true;
        }
    }
    return line;
}

bool is_ascii_grid(const header_line& first_line) {
    return equals_lower(first_line.start, "ncols");
}

void skip_header(source_reader& reader) {
    static constexpr std::string_view keywords[] = {
        "ncols",     "nrows",    "xllcorner", "xllcenter", "yllcorner",
        "yllcenter", "cellsize", "dx",        "dy",        "nodata_value"};
    constexpr std::size_t longest = 12;
    for (;;) {
        int c = peek_byte(reader);
        while (c >= 0 && c != '\n' && is_space(static_cast<char>(c))) {
            advance_to(reader, reader.pos + 1);
            c = peek_byte(reader);
        }
        if (c < 0) return;
        if (c == '\n') {
            advance_to(reader, reader.pos + 1);
            continue;
        }
        const std::size_t available = ensure_bytes(reader, longest + 1);
        std::size_t n = 0;
        while (n < available && n <= longest && !is_header_separator(reader.pos[n]) &&
               !is_space(reader.pos[n])) {
            ++n;
        }
        const std::string_view word(reader.pos, n);
        const bool keyword = std::any_of(std::begin(keywords), std::end(keywords),
                                         [&](std::string_view k) { return equals_lower(word, k); });
        if (!keyword) return;
        while ((c = get_byte(reader)) >= 0 && c != '\n') {
        }
    }
}

failure read_failure() {
    return {MSG_READ_ERROR, row_column(0, 0)};
}

}  // namespace

failure read_header(source_reader& reader, grid_header& header) {
    if (ensure_bytes(reader, 3) >= 3 && std::memcmp(reader.pos, "\xEF\xBB\xBF", 3) == 0) {
        advance_to(reader, reader.pos + 3);
    }
    const header_line first = read_header_line(reader);
    if (reader.read_error) return read_failure();
    if (!is_ascii_grid(first)) return {MSG_FATAL, MSG_NOT_A_GRID};
    const header_line second = read_header_line(reader);
    // The row count is checked first, as the reads of lines 2 and 1 have always been ordered.
    if (failure f = read_count(second, header.nrows); f.failed()) return f;
    if (failure f = read_count(first, header.ncols); f.failed()) return f;
    skip_header(reader);
    if (reader.read_error) return read_failure();
    return {};
}
