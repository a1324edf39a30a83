#include "header.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "chars.h"
#include "text_number.h"

namespace {

// Characters kept of a count line's second token as written, for messages, which show longer
// tokens cut and ending in "...". The georeferencing keeps its values whole.
constexpr std::size_t KEPT_TOKEN_LIMIT = 64;

// The longest header keyword, "nodata_value".
constexpr std::size_t LONGEST_KEYWORD = 12;

enum keyword_id {
    KW_NCOLS,
    KW_NROWS,
    KW_XLLCORNER,
    KW_XLLCENTER,
    KW_YLLCORNER,
    KW_YLLCENTER,
    KW_CELLSIZE,
    KW_DX,
    KW_DY,
    KW_NODATA,
    KEYWORD_COUNT
};
constexpr std::string_view KEYWORDS[KEYWORD_COUNT] = {
    "ncols",     "nrows",    "xllcorner", "xllcenter", "yllcorner",
    "yllcenter", "cellsize", "dx",        "dy",        "nodata_value"};
// The keywords as messages name them.
constexpr std::string_view KEYWORD_NAMES[KEYWORD_COUNT] = {
    "ncols",     "nrows",    "xllcorner", "xllcenter", "yllcorner",
    "yllcenter", "cellsize", "dx",        "dy",        "NODATA_value"};

// What a header line holds beyond its keyword: how many tokens (up to 3), and the second one, read
// as a count whatever its length and kept whole on georeferencing lines, up to KEPT_TOKEN_LIMIT
// characters on the others. A value longer than LONGEST_HEADER_VALUE is read no further.
struct header_line {
    int token_count = 0;
    count_scanner count;
    std::string kept;
    bool cut = false;
    bool too_long = false;
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

// Consumes a whole header line, or stops in a georeferencing value longer than
// LONGEST_HEADER_VALUE, which would be held whole.
header_line read_line(source_reader& reader, bool georeferencing = false) {
    header_line line;
    bool in_token = false;
    for (int c; (c = next_line_byte(reader)) >= 0;) {
        if (is_header_separator(c)) {
            in_token = false;
            continue;
        }
        if (!in_token) {
            in_token = true;
            if (line.token_count < 3) ++line.token_count;
        }
        if (line.token_count != 2) continue;
        feed_count(line.count, static_cast<char>(c));
        if (georeferencing && line.kept.size() == LONGEST_HEADER_VALUE) {
            line.too_long = true;
            return line;
        }
        if (georeferencing || line.kept.size() < KEPT_TOKEN_LIMIT) {
            line.kept += static_cast<char>(c);
        } else {
            line.cut = true;
        }
    }
    return line;
}

failure read_count(const header_line& line, std::int32_t& count) {
    if (line.token_count < 2) return {MSG_FATAL, MSG_NOT_A_GRID};
    const integer_scan scan = finish_count(line.count);
    if (!scan.ok || scan.value < 0) {
        return {MSG_INVALID_INTEGER, printable(line.kept, line.cut)};
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

enum { BLANK_LINE = -2, NOT_A_KEYWORD = -1 };

// Consumes the separators that begin a line (noting a comma in comma) and a line end after them;
// then tells, without consuming more, which keyword the line's first token is.
int look_at_line(source_reader& reader, bool& comma) {
    while (ensure_bytes(reader, 1) != 0 && is_header_separator(*reader.pos)) {
        comma = comma || *reader.pos == ',';
        advance_to(reader, reader.pos + 1);
    }
    if (ensure_bytes(reader, 1) == 0) return NOT_A_KEYWORD;
    if (line_ends_at(reader, 0)) {
        next_line_byte(reader);
        return BLANK_LINE;
    }
    std::size_t n = 0;
    while (n <= LONGEST_KEYWORD && !line_ends_at(reader, n) && !is_header_separator(reader.pos[n]))
        ++n;
    const std::string_view word(reader.pos, n);
    for (int k = 0; k < KEYWORD_COUNT; ++k) {
        if (equals_lower(word, KEYWORDS[k])) return k;
    }
    return NOT_A_KEYWORD;
}

// The keyword lines of a header: the first line of each keyword, and whether separators consumed
// before the first value held a comma, which no value may begin with.
struct keyword_lines {
    std::optional<header_line> first[KEYWORD_COUNT];
    bool any = false;
    bool comma_before_data = false;
    int too_long = -1;  // the keyword of a value read no further
};

// Consumes blank lines and lines whose first token is a header keyword, up to the first other line.
keyword_lines read_keyword_lines(source_reader& reader) {
    keyword_lines lines;
    for (;;) {
        bool comma = false;
        const int keyword = look_at_line(reader, comma);
        if (keyword == BLANK_LINE) continue;
        if (keyword == NOT_A_KEYWORD) {
            lines.comma_before_data = comma;
            return lines;
        }
        lines.any = true;
        header_line line = read_line(reader, keyword != KW_NCOLS && keyword != KW_NROWS);
        if (line.too_long) {
            lines.too_long = keyword;
            return lines;
        }
        if (!lines.first[keyword]) lines.first[keyword] = std::move(line);
    }
}

// The second token of a keyword line as written; nothing for a line that is absent.
std::string written_value(const keyword_lines& lines, keyword_id keyword) {
    const std::optional<header_line>& line = lines.first[keyword];
    if (!line || line->token_count < 2) return "";
    return line->kept;
}

void keep_georeferencing(const keyword_lines& lines, grid_header& header) {
    header.x_center = lines.first[KW_XLLCENTER] && !lines.first[KW_XLLCORNER];
    header.y_center = lines.first[KW_YLLCENTER] && !lines.first[KW_YLLCORNER];
    header.xll = written_value(lines, header.x_center ? KW_XLLCENTER : KW_XLLCORNER);
    header.yll = written_value(lines, header.y_center ? KW_YLLCENTER : KW_YLLCORNER);
    header.cellsize = written_value(lines, KW_CELLSIZE);
    header.dx = written_value(lines, KW_DX);
    header.dy = written_value(lines, KW_DY);
    header.nodata = written_value(lines, KW_NODATA);
}

failure read_failure() {
    return {MSG_READ_ERROR, row_column(0, 0)};
}

failure too_long(int keyword) {
    return {MSG_HEADER_VALUE_TOO_LONG, KEYWORD_NAMES[keyword]};
}

}  // namespace

failure read_header(source_reader& reader, grid_header& header) {
    if (starts_with(reader, "\xEF\xBB\xBF")) advance_to(reader, reader.pos + 3);
    std::optional<header_line> columns;
    std::optional<header_line> rows;
    if (starts_with(reader, "ncols")) {
        columns = read_line(reader);
        rows = read_line(reader);
        if (reader.read_error) return read_failure();
        // The row count is checked first, as the reads of lines 2 and 1 have always been ordered.
        if (failure f = read_count(*rows, header.nrows); f.failed()) return f;
        if (failure f = read_count(*columns, header.ncols); f.failed()) return f;
    }
    const keyword_lines lines = read_keyword_lines(reader);
    if (lines.too_long >= 0) return too_long(lines.too_long);
    if (reader.read_error) return read_failure();
    if (!columns) {
        // Keywords in any order: the first bytes that begin no keyword line refuse the file.
        if (!lines.any || !lines.first[KW_NCOLS] || !lines.first[KW_NROWS]) {
            return {MSG_FATAL, MSG_NOT_A_GRID};
        }
        if (failure f = read_count(*lines.first[KW_NROWS], header.nrows); f.failed()) return f;
        if (failure f = read_count(*lines.first[KW_NCOLS], header.ncols); f.failed()) return f;
    }
    keep_georeferencing(lines, header);
    // The first value would be refused at that comma; the row reader can no longer see it.
    if (lines.comma_before_data && header.nrows > 0 && header.ncols > 0) return read_failure();
    return {};
}
