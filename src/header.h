// The Arc ascii grid header, from the byte-order mark to the first value.
#pragma once

#include <cstdint>

#include "failure.h"
#include "source_reader.h"

struct grid_header {
    std::int32_t nrows = 0;
    std::int32_t ncols = 0;
};

// Reads the whole header once, without rewinding, and leaves the reader at the first value. Line 1
// must begin with "ncols" in any case, its second token is the column count; the second token of
// line 2 is the row count; the header goes on over blank lines and lines that begin with a header
// keyword. Fails with "Fatal error" "Unrecognized input file format:" when the file is not a grid
// or a count is missing, "Invalid integer:" and the token for a malformed or negative count.
failure read_header(source_reader& reader, grid_header& header);
