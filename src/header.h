// The Arc ascii grid header, from the byte-order mark to the first value.
#pragma once

#include <cstdint>
#include <string>

#include "failure.h"
#include "source_reader.h"

// The longest georeferencing or no-data value read, which is kept whole: a generous bound on the
// memory it takes.
constexpr std::size_t LONGEST_HEADER_VALUE = std::size_t(1) << 20;

struct grid_header {
    std::int32_t nrows = 0;
    std::int32_t ncols = 0;
    // The georeferencing exactly as written (empty where the header has none): the lower left
    // corner, or the centre of the lower left cell where x_center or y_center is set.
    std::string xll, yll, cellsize, dx, dy, nodata;
    bool x_center = false;
    bool y_center = false;
};

// Reads the whole header once, without rewinding, and leaves the reader at the first value.
// When line 1 begins with "ncols" (any case), its second token is the column count and the second
// token of line 2 the row count, whatever line 2's keyword. Otherwise, as GDAL reads a grid, the
// header is keyword lines in any order, after any blank space: its "ncols" and "nrows" lines give
// the counts. Either way the header goes on over blank lines and lines that begin with a header
// keyword. Fails with "Fatal error" "Unrecognized input file format:" when the file is not a grid
// or a count is missing, "Invalid integer:" and the token for a malformed or negative count,
// "Header value longer than 1 MiB:" and the keyword of a value longer than LONGEST_HEADER_VALUE.
failure read_header(source_reader& reader, grid_header& header);
