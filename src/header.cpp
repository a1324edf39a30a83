#include "header.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "chars.h"
#include "text_number.h"

namespace {

// Characters of a header token shown in a message; longer tokens are cut and end in "...".
constexpr std::size_t SHOWN_TOKEN_LIMIT = 64;

// The longest header keyword, "nodata_value".
constexpr std::size_t LONGEST_KEYWORD = 12;

constexpr std::string_view KEYWORDS[] = {"ncols",     "nrows",       "xllcorner", "xllcenter",
                                         "yllcorner", "yllcenter",   "cellsize",  "dx",
                                         "dy",        "nodata_value"};

// What header lines 1 and 2 hold for the counts: how many tokens (up to 3), and the second one,
// read as a count whatever its length and kept for messages up to SHOWN_TOKEN_LIMIT characters.
struct count_line {
    int token_count = 0;
    count_scanner count;
    std::string shown;
    bool cut = false;
};

// Whether the unread byte at offset ends the line: a newline, or a carriage return before one of
// the file's newlines. A carriage return anywhere else, even last in the file, is text.
bool line_ends_at(source_reader& reader, std::size_t offset) {
    if (ensure_bytes(reader, offset + 1) <= offset) return true;
    const char c = reader.pos[offset];
    if (c == '\n') return true;
    if (c != '\r' || ensure_bytes(reader, offset + 2) <= offset + 1) return false;
    return reader.pos[offset + 1] == '\n' && !is_added_newline(reader, reader.pos + offset + 1);
}

// The next byte of the current header line, consumed, or -1 once its end has been consumed.
int next_line_byte(source_reader& reader) {
    if (line_ends_at(reader, 0)) {
        while (get_byte(reader) == '\r') {
        }
        return -1;
    }
    return get_byte(reader);
}

bool is_separator(int c) {
    return c == ' ' || c == '\t' || c == ',';
}

count_line read_count_line(source_reader& reader) {
    count_line line;
    bool in_token = false;
    for (int c; (c = next_line_byte(reader)) >= 0;) {
        if (is_separator(c)) {
            in_token = false;
            continue;
        }
        if (!in_token) {
            in_token = true;
            if (line.token_count < 3) ++line.token_count;
        }
        if (line.token_count != 2) continue;
        feed_count(line.count, static_cast<char>(c));
        if (line.shown.size() < SHOWN_TOKEN_LIMIT) {
            line.shown += static_cast<char>(c);
        } else {
            line.cut = true;
        }
    }
    return line;
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

failure read_count(const count_line& line, std::int32_t& count) {
    if (line.token_count < 2) return {MSG_FATAL, MSG_NOT_A_GRID};
    const integer_scan scan = finish_count(line.count);
    if (!scan.ok || scan.value < 0) {
        return {MSG_INVALID_INTEGER, printable(line.shown, line.cut)};
    }
    count = scan.value;
    return {};
}

bool equals_lower(std::string_view text, std::string_view keyword) {
    return text.size() == keyword.size() &&
           std::equal(text.begin(), text.end(), keyword.begin(),
                      [](char a, char b) { return to_lower(a) == b; });
}

// Whether the unread bytes begin with keyword, in any letter case. Looks no further than the
// first byte that differs, so a file that is no grid is refused without being read.
bool starts_with(source_reader& reader, std::string_view keyword) {
    for (std::size_t i = 0; i < keyword.size(); ++i) {
        if (ensure_bytes(reader, i + 1) <= i || to_lower(reader.pos[i]) != keyword[i]) return false;
    }
    return true;
}

// Consumes the lines after the first two that belong to the header: blank lines and lines whose
// first token is a header keyword. Returns whether separators consumed before the first value
// held a comma, which no value may begin with.
bool skip_keyword_lines(source_reader& reader) {
    for (;;) {
        bool comma = false;
        while (ensure_bytes(reader, 1) != 0 && is_separator(*reader.pos)) {
            comma = comma || *reader.pos == ',';
            advance_to(reader, reader.pos + 1);
        }
        if (ensure_bytes(reader, 1) == 0) return false;
        if (line_ends_at(reader, 0)) {
            next_line_byte(reader);
            continue;
        }
        std::size_t n = 0;
        while (n <= LONGEST_KEYWORD && !line_ends_at(reader, n) && !is_separator(reader.pos[n]))
            ++n;
        const std::string_view word(reader.pos, n);
        const bool keyword = std::any_of(std::begin(KEYWORDS), std::end(KEYWORDS),
                                         [&](std::string_view k) { return equals_lower(word, k); });
        if (!keyword) return comma;
        while (next_line_byte(reader) >= 0) {
        }
    }
}

failure read_failure() {
    return {MSG_READ_ERROR, row_column(0, 0)};
}

}  // namespace

failure read_header(source_reader& reader, grid_header& header) {
    if (starts_with(reader, "\xEF\xBB\xBF")) advance_to(reader, reader.pos + 3);
    if (!starts_with(reader, "ncols")) {
        return reader.read_error ? read_failure() : failure{MSG_FATAL, MSG_NOT_A_GRID};
    }
    const count_line first = read_count_line(reader);
    const count_line second = read_count_line(reader);
    if (reader.read_error) return read_failure();
    // The row count is checked first, as the reads of lines 2 and 1 have always been ordered.
    if (failure f = read_count(second, header.nrows); f.failed()) return f;
    if (failure f = read_count(first, header.ncols); f.failed()) return f;
    const bool comma_before_data = skip_keyword_lines(reader);
    if (reader.read_error) return read_failure();
    // The first value would be refused at that comma; the row reader can no longer see it.
    if (comma_before_data && header.nrows > 0 && header.ncols > 0) return read_failure();
    return {};
}
