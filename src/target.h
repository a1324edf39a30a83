// The target: rows gathered in one reused block and written with one block write when it fills,
// so that what reached the file is always known to the byte; and the two row writers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "failure.h"
#include "formats.h"

// Large enough that a write's own cost is small beside its copy; small enough that faulting its
// pages in (once a run, about 11 us each on a virtual machine) costs little: 1 MiB blocks took 380
// faults more than 256 KiB ones for a 64 MB target, and no write was faster.
constexpr std::size_t TARGET_BLOCK_SIZE = std::size_t(256) << 10;
constexpr std::uint64_t NO_WRITE_BEHIND = UINT64_MAX;
constexpr std::uint64_t NO_CELLS = UINT64_MAX;

// The thread that writes one full block while the converting thread fills the next; its state is
// the target's own, in target.cpp.
struct block_writer;
struct stop_block_writer {
    // Stops and joins the thread, however the target ends: an exception unwinding past it must not
    // destroy the condition variable the thread waits on.
    void operator()(block_writer* writer) const;
};

// Where tiles listed before a tile hold some of its cells already, what the tile does there: its
// cells must equal theirs, or the first tile's stay, or the last one's are written.
enum class overlap_rule { agree, first, last };

// A rectangle of a grid's cells, rows from its north: a tile's in a mosaic, or a part of one.
struct tile_cells {
    std::int32_t row = 0;
    std::int32_t column = 0;
    std::int32_t nrows = 0;
    std::int32_t ncols = 0;
};

// How a tile's rows reach their places in a mosaic's file, with positioned writes: the target's
// bytes are the tile's elements, row after row. Read only, while the target is open.
struct tile_placement {
    int fd = -1;
    std::uint64_t origin = 0;      // the file's byte of the tile's first cell
    std::uint64_t row_stride = 0;  // bytes of a row of the mosaic
    std::size_t row_bytes = 0;     // bytes of a row of the tile
    std::size_t width = 1;         // bytes of an element
    overlap_rule rule = overlap_rule::agree;
    std::vector<tile_cells> covered;  // cells tiles listed before it wrote
};

// Where a tile's cell differs from the one an earlier tile wrote: the tile's byte (NO_CELLS:
// nowhere) and its element, little-endian.
struct disagreement {
    std::uint64_t at = UINT64_MAX;
    unsigned char element[8] = {};
};

// The converting thread's own; the block being written behind belongs to the writer thread until
// the next flush or hand-over takes it back.
struct grid_target {
    std::FILE* file = nullptr;
    std::unique_ptr<unsigned char[]> block;
    std::size_t capacity = 0;
    std::size_t used = 0;
    std::uint64_t committed = 0;  // bytes that reached the file
    std::size_t in_flight = 0;    // bytes in the writer's hands, not yet counted in committed
    bool failed = false;
    std::uint64_t write_behind_after = NO_WRITE_BEHIND;
    std::unique_ptr<block_writer, stop_block_writer> writer;  // started at the first block behind
    // A text target counts the cells whose text reached the file, from the byte cells_from on
    // (NO_CELLS: a binary target); the first cell not counted is the first lost.
    std::uint64_t cells_from = NO_CELLS;
    std::uint64_t cells_committed = 0;
    // A tile of a mosaic: its bytes go to their places in the mosaic's file (file is nullptr),
    // and where a cell differs from an earlier tile's, nothing from it on is written.
    const tile_placement* place = nullptr;
    disagreement differs;
};

// Starts a target on file. Once write_behind_after bytes reached the file, full blocks are written
// on a thread of their own, so small grids start none; tests start it on small ones with small
// blocks.
void open_target(grid_target& target, std::FILE* file, std::size_t capacity = TARGET_BLOCK_SIZE,
                 std::uint64_t write_behind_after = NO_WRITE_BEHIND);
// Starts a target for a tile of a mosaic, placed as place says, which must outlive it; a target
// opened for the tile before keeps its block.
void open_placed_target(grid_target& target, const tile_placement& place,
                        std::size_t capacity = TARGET_BLOCK_SIZE);

// Puts size bytes of a tile's elements, from its byte at on, at their places: returns the bytes
// placed, all of them unless a write failed or (with the rule agree) a cell an earlier tile wrote
// differs, which stops them there and is named in differs.
std::size_t write_placed(const tile_placement& place, const unsigned char* data, std::size_t size,
                         std::uint64_t at, disagreement& differs);

// Whether a thread writes behind: tests check that they ran it.
bool writes_behind(const grid_target& target);
// Writes what the block holds and waits until every byte handed over reached the file or failed;
// false once any write has failed. committed is then exact.
bool flush_target(grid_target& target);
// Flushes, stops the writer thread and closes the file; false when bytes were lost on the way.
bool close_target(grid_target& target);
// Makes the target a text one, whose cells are the text from the next byte put on, each ended by
// a space or a line end: a failure then names the first cell whose text did not wholly reach the
// file.
void count_text_cells(grid_target& target);

// Puts count values of a binary format from buffer into the target, in little-endian order;
// false once the target failed (what reached the file is then found from its counts).
bool write_binary_row(grid_target& target, std::int32_t count, element_format format,
                      const void* buffer);

// The failure of a run whose value number value (counted from the grid's first, row-major, ncols
// columns of width bytes) is not one: the complete rows before it are flushed, and the message is
// "Error reading input:" with its row and column, or "Error writing output:" naming the first value
// lost when the flush failed, which comes earlier. Either way what it says is true of the file.
failure stopped_at_value(grid_target& target, std::uint64_t value, std::int32_t ncols, int width);

// "Row: %d\tColumn: %d" naming the first value of a row-major grid of ncols columns that did not
// reach the target, as found from the bytes that did (elements of width bytes), or for a text
// target from the cells it counted; the last of grid_cells where all of them did.
std::string lost_value_position(const grid_target& target, std::int32_t ncols, int width,
                                std::uint64_t grid_cells = 0);
// The same, from the count of bytes that reached the file.
std::string value_position(std::uint64_t committed, std::int32_t ncols, int width);
