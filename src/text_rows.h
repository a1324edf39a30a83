// The text of an Arc ascii grid's cells: values of a binary format as decimal text, whole rows at
// a time, with the template's line end and no-data text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats.h"
#include "target.h"

// The longest text of a number the text writer writes (the longest double takes 26).
constexpr std::size_t LONGEST_NUMBER_TEXT = 32;

// How the cells of an Arc ascii grid are written: the line end, and the text of the no-data value
// for a cell whose bytes equal it as the values' format stores it, and for a NaN.
struct cell_text {
    std::string line_end = "\n";
    std::string nodata;                  // empty: no cell is no-data
    unsigned char nodata_bytes[8] = {};  // in host order
};

// Puts count values of a binary format from buffer into the target as one row of text: the values
// separated by one space, then the line end; integers in plain decimal, float and double as the
// shortest text that reads back to the same value (with a decimal point, so that GIS tools type
// the grid as real), NaN as the no-data text, or "nan" where there is none. False once the target
// failed.
bool write_ascii_row(grid_target& target, std::int32_t count, element_format format,
                     const void* buffer, const cell_text& style = {});

// The text of count values of format, whole rows of ncols, each ended by the style's line end, as
// write_ascii_row writes them, at out; returns its length. out has room for max_cell_text bytes a
// value and two a row.
std::size_t format_rows(char* out, element_format format, const void* values, std::size_t count,
                        std::int32_t ncols, const cell_text& style);
std::size_t max_cell_text(const cell_text& style);
