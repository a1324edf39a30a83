#include "text_rows.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace {

// The text of one cell at at, which has room for LONGEST_NUMBER_TEXT characters (the longest
// double takes 26); returns its end.
template <typename T>
char* cell_chars(char* at, T value) {
    if constexpr (std::is_floating_point_v<T>) {
        if (std::isnan(value)) return std::copy_n("nan", 3, at);
        char* end = std::to_chars(at, at + LONGEST_NUMBER_TEXT, value).ptr;
        if (std::find_if(at, end, [](char c) { return c == '.' || c == 'n'; }) != end) return end;
        // A whole number: a decimal point keeps the grid real for the readers that type it by one.
        char* exponent = std::find(at, end, 'e');
        std::memmove(exponent + 2, exponent, static_cast<std::size_t>(end - exponent));
        exponent[0] = '.';
        exponent[1] = '0';
        return end + 2;
    } else {
        return std::to_chars(at, at + LONGEST_NUMBER_TEXT, value).ptr;
    }
}

// Whether a cell is written as the no-data text: its bytes are the no-data value's, or it is a
// NaN, which models write for no data and GDAL cannot read as a grid's first cell.
template <typename T>
bool is_nodata(const unsigned char* cell, const cell_text& style) {
    if (style.nodata.empty()) return false;
    if (std::memcmp(cell, style.nodata_bytes, sizeof(T)) == 0) return true;
    if constexpr (std::is_floating_point_v<T>) {
        T value;
        std::memcpy(&value, cell, sizeof(T));
        return std::isnan(value);
    } else {
        return false;
    }
}

// One cell's text at at, which has room for it: the no-data text for a no-data cell.
template <typename T>
char* put_cell(char* at, const unsigned char* cell, const cell_text& style) {
    if (is_nodata<T>(cell, style)) return at + style.nodata.copy(at, style.nodata.size());
    T value;
    std::memcpy(&value, cell, sizeof(T));
    return cell_chars(at, value);
}

}  // namespace

std::size_t max_cell_text(const cell_text& style) {
    return std::max(LONGEST_NUMBER_TEXT, style.nodata.size()) + 1;
}

std::size_t format_rows(char* out, element_format format, const void* values, std::size_t count,
                        std::int32_t ncols, const cell_text& style) {
    char* at = out;
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        const auto* cells = static_cast<const unsigned char*>(values);
        const auto columns = static_cast<std::size_t>(ncols);
        for (std::size_t row = 0; row + columns <= count; row += columns) {
            for (std::size_t i = 0; i < columns; ++i) {
                if (i != 0) *at++ = ' ';
                at = put_cell<T>(at, cells + (row + i) * sizeof(T), style);
            }
            at += style.line_end.copy(at, 2);
        }
    });
    return static_cast<std::size_t>(at - out);
}

bool write_ascii_row(grid_target& target, std::int32_t count, element_format format,
                     const void* buffer, const cell_text& style) {
    // Cells gather in pieces of TEXT_PIECE bytes; the room after a piece takes the cell that
    // passes it, with its separator, and the line end. A longer no-data text goes straight to the
    // target.
    constexpr std::size_t TEXT_PIECE = 4096;
    char text[TEXT_PIECE + 1 + LONGEST_NUMBER_TEXT + 2];
    std::size_t used = 0;
    const auto put_text = [&](const char* bytes, std::size_t size) {
        write_binary_row(target, static_cast<std::int32_t>(size), FMT_UCHAR, bytes);
    };
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        const auto* values = static_cast<const unsigned char*>(buffer);
        for (std::int32_t i = 0; i < count; ++i) {
            if (used > TEXT_PIECE) {
                put_text(text, used);
                used = 0;
            }
            if (i != 0) text[used++] = ' ';
            const unsigned char* cell = values + static_cast<std::size_t>(i) * sizeof(T);
            if (style.nodata.size() > LONGEST_NUMBER_TEXT && is_nodata<T>(cell, style)) {
                put_text(text, used);
                put_text(style.nodata.data(), style.nodata.size());
                used = 0;
                continue;
            }
            used = static_cast<std::size_t>(put_cell<T>(text + used, cell, style) - text);
        }
    });
    used += style.line_end.copy(text + used, 2);
    put_text(text, used);
    return !target.failed;
}
