// The one cell pipeline every conversion goes through: the source cut into chunks, each chunk
// transformed into values by whichever thread is free, and the values put into the target in grid
// order, a complete row at a time, written behind by the target's own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "chunks.h"
#include "failure.h"
#include "formats.h"
#include "narrowing.h"
#include "source_reader.h"
#include "target.h"
#include "text_rows.h"
#include "thread_plan.h"

// The one thread's chunk memory, kept between runs for the next: many small grids (the tiles of a
// mosaic) would otherwise each map and fault fresh pages. One run at a time uses it.
struct kept_chunk {
    std::unique_ptr<char[]> bytes;
    std::unique_ptr<unsigned char[]> values;
    std::size_t capacity = 0;
    std::size_t values_size = 0;
    std::unique_ptr<char[]> carry;  // the chunk source's
    std::size_t carry_size = 0;
};

struct pipeline_settings {
    // Threads that transform chunks, the converting thread among them: with 1 it does everything
    // itself and starts no other. Fewer are started when the source is known to be small.
    int threads = 1;
    // Bytes of source per chunk (from MIN_CHUNK_BYTES); 0 sizes them from a fixed memory budget.
    // Tests pass small ones, to cut many chunks from little text.
    std::size_t chunk_bytes = 0;
    // How a text target's cells are written; nullptr: separated by spaces, LF line ends.
    const cell_text* text = nullptr;
    // The source must end with the grid: bytes after its last value fail the run, once every row
    // is in the target, with "Source holds more than the grid:".
    bool ends_with_grid = false;
    // A binary source's elements are big-endian (as a sidecar's BYTEORDER M says).
    bool big_endian_source = false;
    // --round, --nodata N, --strict on the way into a binary target; nullptr: none.
    const narrowing* narrow = nullptr;
    // threads is the most: the converting thread parses the first chunk and a probe more alone,
    // and starts the others only when the rest of the source is long enough to gain from them.
    bool pick_workers = false;
    // When workers start (thread_plan); tests pass small ones, to switch on small inputs.
    thread_thresholds thresholds = {};
    // Where set, a run on one thread takes its chunk from here when it is the size it needs, and
    // leaves it here at the end.
    kept_chunk* kept = nullptr;
};

// The settings of a run on the host's cores, from RASTMILL_THREADS's text (nullptr: not set): a
// count of 1 or more is taken (at most 1024; 1 keeps the whole run on one thread); anything else
// asks for one thread per core, at least one, the workers picked.
pipeline_settings threads_from_setting(const char* setting, unsigned cores);

// Moves nrows rows of ncols values from source to target, converting between the formats when they
// differ; a text side (FMT_ASCII) takes the other side's format, and both are text only in a grid
// of no rows. A binary source is read as little-endian elements unless the settings say
// big-endian. Fails with "Error reading input:" or "Error writing output:" and the row and column
// of the first value not moved; the complete rows before it stay written. Rows of no values move
// nothing. The outcome is the same at any thread count and chunk size.
failure move_rows(std::int32_t nrows, std::int32_t ncols, element_format source_format,
                  source_reader& source_stream, element_format target_format,
                  grid_target& target_stream, const pipeline_settings& settings = {});
