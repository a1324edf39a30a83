#include "read_hint.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>

#include "chars.h"
#include "failure.h"
#include "grid_source.h"
#include "header.h"
#include "paths.h"
#include "separator_scan.h"
#include "source_reader.h"
#include "text_number.h"
#include "text_span.h"

namespace {

constexpr std::size_t SHOWN_LIMIT = 40;
// Enough of a token to tell whether it is a decimal number.
constexpr std::size_t KEPT_LIMIT = 400;

// What the walk over the values found: the token numbered value, or where the values ran out.
struct found_token {
    bool found = false;
    std::string text;  // up to KEPT_LIMIT bytes of it
    bool longer = false;
    std::uint64_t line = 0;    // its line, or the line of the last value (of the header's end)
    std::uint64_t tokens = 0;  // values in the grid, when not found
};

// Newlines in the next size bytes the reader gives: the lines of the header.
bool count_newlines(source_reader& reader, std::uint64_t size, std::uint64_t& newlines) {
    newlines = 0;
    while (size != 0) {
        if (ensure_bytes(reader, 1) == 0) return false;
        const auto n = static_cast<std::size_t>(
            std::min<std::uint64_t>(size, static_cast<std::uint64_t>(reader.end - reader.pos)));
        newlines += static_cast<std::uint64_t>(std::count(reader.pos, reader.pos + n, '\n'));
        advance_to(reader, reader.pos + n);
        size -= n;
    }
    return true;
}

// Walks the tokens after the header, as the row readers split them, to the one numbered value:
// 64 bytes at a time up to the block where it starts, so that a bad value near the end of a large
// file is found at about the speed the file is read.
bool walk_to(source_reader& reader, std::uint64_t value, std::uint64_t line, found_token& out) {
    bool in_token = false;
    std::uint64_t started = 0;  // tokens begun
    out.line = line;
    while (ensure_bytes(reader, 1) != 0) {
        const char* p = reader.pos;
        for (; reader.end - p >= 64; p += 64) {
            const std::uint64_t separators = classify_block(p).separators;
            const std::uint64_t starts = ~separators & ((separators << 1) | (in_token ? 0 : 1));
            const auto count = static_cast<std::uint64_t>(std::popcount(starts));
            if (started + count > value) break;
            if (count != 0) {
                const int last_start = 63 - std::countl_zero(starts);
                out.line = line + static_cast<std::uint64_t>(std::count(p, p + last_start, '\n'));
            }
            started += count;
            line += static_cast<std::uint64_t>(std::count(p, p + 64, '\n'));
            in_token = (separators >> 63) == 0;
        }
        for (; p != reader.end; ++p) {
            const char c = *p;
            if (is_space(c)) {
                if (in_token && started == value + 1) {
                    out.found = true;
                    return true;
                }
                in_token = false;
                if (c == '\n') ++line;
                continue;
            }
            if (!in_token) {
                in_token = true;
                ++started;
                out.line = line;
            }
            if (started != value + 1) continue;
            if (out.text.size() < KEPT_LIMIT) {
                out.text += c;
            } else {
                out.longer = true;
            }
        }
        advance_to(reader, reader.end);
    }
    if (reader.read_error) return false;
    out.tokens = started;
    return true;
}

std::string shown(const found_token& token) {
    const std::string_view text = token.text;
    return printable(text.substr(0, SHOWN_LIMIT), text.size() > SHOWN_LIMIT || token.longer);
}

// A number an integer format refuses: a decimal, or nan or an infinity, which no rounding makes
// whole.
enum class refused_number { none, decimal, not_finite };

refused_number refused_by_integer(const found_token& token, element_format format) {
    if (info_of(format).kind == element_kind::real || token.longer) return refused_number::none;
    const std::string text = token.text + " ";
    const number_scan<double> scan = scan_cell_real<double>(text.c_str());
    if (!scan.ok || *scan.end != ' ') return refused_number::none;
    // A number too large for a double (1e400) is still one that --round can take.
    const bool word = token.text.find_first_of("nNiI") != std::string::npos;
    return word ? refused_number::not_finite : refused_number::decimal;
}

// Walks the text grid at path to value number value; false where path is no regular file that can
// be read again.
bool find_token(const std::string& path, std::uint64_t value, found_token& token) {
    std::error_code error;
    if (path == "-" || !std::filesystem::is_regular_file(native_path(file_of_source(path)), error))
        return false;
    grid_source source;
    source_reader reader;
    if (open_grid_source(source, path, reader, true, false).failed()) return false;
    grid_header header;
    if (read_header(reader, header).failed()) return false;
    const std::uint64_t header_bytes = bytes_consumed(reader);

    grid_source again;
    source_reader lines;
    std::uint64_t header_lines = 0;
    if (open_grid_source(again, path, lines, false, false).failed() ||
        !count_newlines(lines, header_bytes, header_lines)) {
        return false;
    }
    return walk_to(reader, value, 1 + header_lines, token);
}

}  // namespace

std::string bad_value_hint(const std::string& path, std::uint64_t value, std::uint64_t cells,
                           element_format format, bool rounded) {
    found_token token;
    if (!find_token(path, value, token)) return "";
    std::string where = " on line ";
    where.append(std::to_string(token.line)).append(" of ").append(path);
    std::string hint;
    if (!token.found) {
        return hint.append("the grid ends after ")
            .append(std::to_string(token.tokens))
            .append(" values")
            .append(where)
            .append("; its header gives ")
            .append(std::to_string(cells));
    }
    hint.append("\"").append(shown(token)).append("\"").append(where);
    const std::string_view name = info_of(format).name;
    switch (refused_by_integer(token, format)) {
        case refused_number::decimal:
            if (rounded) break;
            hint.append("; ").append(name).append(
                " takes whole numbers only: add --round, or convert to float or double");
            break;
        case refused_number::not_finite:
            hint.append("; ").append(name).append(
                " holds no nan or infinity: convert to float or double");
            break;
        case refused_number::none: break;
    }
    return hint;
}

std::optional<std::string> token_at(const std::string& path, std::uint64_t value) {
    found_token token;
    if (!find_token(path, value, token) || !token.found || token.longer) return std::nullopt;
    return token.text;
}

std::string nodata_hint(const std::string& nodata, element_format format) {
    return "the cell is the grid's no-data value " + nodata + ", which " +
           std::string(info_of(format).name) +
           " does not hold: add --nodata N to write no-data cells as N";
}

bool element_is_nodata(const std::string& path, std::uint64_t value, element_format format,
                       bool big_endian, const std::string& nodata) {
    unsigned char stored[8];
    // Bounded for the compiler too: it cannot see that no element is wider than 8 bytes.
    const std::size_t width = std::min(width_of(format), sizeof stored);
    if (path == "-" || nodata.empty() || !parse_one_value(nodata, format, stored)) return false;
    if (big_endian != (std::endian::native == std::endian::big))
        std::reverse(stored, stored + width);
    grid_source source;
    source_reader reader;
    if (open_grid_source(source, path, reader, false, false).failed()) return false;
    // Read up to the cell, not sought: a compressed source has no offsets to seek to.
    std::uint64_t before = value * width;
    while (before != 0 && ensure_bytes(reader, 1) != 0) {
        const auto n = static_cast<std::size_t>(
            std::min<std::uint64_t>(before, static_cast<std::uint64_t>(reader.end - reader.pos)));
        advance_to(reader, reader.pos + n);
        before -= n;
    }
    return before == 0 && ensure_bytes(reader, width) >= width &&
           std::memcmp(reader.pos, stored, width) == 0;
}

bool token_is_nodata(const std::string& path, std::uint64_t value, const std::string& nodata) {
    const std::optional<std::string> token = token_at(path, value);
    double cell = 0;
    double held = 0;
    return !nodata.empty() && token && parse_one_value(*token, FMT_DOUBLE, &cell) &&
           parse_one_value(nodata, FMT_DOUBLE, &held) && cell == held;
}
