// The rows of a large text grid parsed on several threads: the source is read in chunks cut at
// white space, each chunk is parsed by whichever worker is free, and the values go to the target
// in grid order, a complete row at a time. The target gets what the one-thread reader would give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "failure.h"
#include "source_reader.h"
#include "target.h"

// Moves rows [first_row, nrows) of ncols text values, parsed as format (binary), from source to
// target with threads workers; row is room for one row of them. Fails as move_rows fails, with
// the same row and column. Nothing when no worker thread could be started: nothing was read or
// written then. chunk_bytes 0 sizes the chunks from a fixed memory budget; tests pass small ones
// (from MIN_CHUNK_BYTES) to cut many chunks from little text.
constexpr std::size_t MIN_CHUNK_BYTES = 1024;
std::optional<failure> move_rows_in_parallel(std::int32_t first_row, std::int32_t nrows,
                                             std::int32_t ncols, int format, source_reader& source,
                                             grid_target& target, unsigned char* row, int threads,
                                             std::size_t chunk_bytes = 0);
