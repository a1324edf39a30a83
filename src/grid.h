// The row pump: moves a grid row by row from a row reader through convert_row to a row writer.
#pragma once

#include <cstdint>

#include "failure.h"
#include "source_reader.h"
#include "target.h"

// Moves nrows rows of ncols values from source to target, converting between the formats when they
// differ; a text side (FMT_ASCII) takes the other side's format. Fails with "Error reading input:"
// or "Error writing output:" and the row and column of the first value not moved; earlier rows
// stay written. Rows of no values move nothing. With threads above 1, the text of a large grid is
// parsed on that many threads once the first megabytes were read; the outcome is the same.
failure move_rows(std::int32_t nrows, std::int32_t ncols, int source_format,
                  source_reader& source_stream, int target_format, grid_target& target_stream,
                  int threads = 1);

// move_rows, ending the run on failure. Does not close the streams.
void transfer_grid(std::int32_t nrows, std::int32_t ncols, int source_format,
                   source_reader& source_stream, int target_format, grid_target& target_stream,
                   int threads = 1);
