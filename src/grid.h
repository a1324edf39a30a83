// Grid transfer: the Arc ascii grid header, the text and binary row readers and writers, and the
// row pump that moves a grid row by row.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "rastmill.h"
#include "source_reader.h"

constexpr std::size_t TARGET_BLOCK_SIZE = std::size_t(1) << 20;

// The target: whole rows are gathered in one reused block and written with one block write when
// it fills, so that what reached the file is always known to the byte.
struct grid_target {
    std::FILE* file = nullptr;
    std::unique_ptr<unsigned char[]> block;
    std::size_t capacity = 0;
    std::size_t used = 0;
    std::uint64_t committed = 0;  // bytes that reached the file
    bool failed = false;
};

void open_target(grid_target& target, std::FILE* file, std::size_t capacity = TARGET_BLOCK_SIZE);
// Writes what the block holds; false once any write has failed.
bool flush_target(grid_target& target);
// Flushes and closes the file; false when bytes were lost on the way.
bool close_target(grid_target& target);

// What header lines 1 and 2 hold for the header checks: their first five characters and their
// first two tokens (cut at HEADER_TOKEN_LIMIT characters).
constexpr std::size_t HEADER_TOKEN_LIMIT = 64;
struct header_line {
    std::string start;
    std::string tokens[2];
    bool cut[2] = {false, false};
    int token_count = 0;
};

// Reads one whole line of any length, tokens split at space, tab and comma.
header_line read_header_line(source_reader& reader);

// Whether the first line begins with the keyword "ncols", in any letter case.
bool is_ascii_grid(const header_line& first_line);
// The count in the second token of line 2 (rows) or line 1 (columns): a missing count makes the
// file unrecognized, a negative or malformed one is an invalid integer.
failure read_nrows(const header_line& second_line, std::int32_t& nrows);
failure read_ncols(const header_line& first_line, std::int32_t& ncols);

// Consumes the header lines after the first two: blank lines and lines that begin with a header
// keyword. The reader is left at the first value.
void skip_header(source_reader& reader);

struct grid_header {
    std::int32_t nrows = 0;
    std::int32_t ncols = 0;
};
// The whole header, from a byte-order mark to the first value, read once without rewinding.
failure read_header(source_reader& reader, grid_header& header);

// Row readers and writers. Each moves count values of format (a binary code) between its stream
// and buffer, and returns how many it moved. The text reader stops at the first value that is not
// wholly a number; the text reader and writer end the run on a non-binary format.
std::int32_t read_ascii_row(source_reader& stream, std::int32_t count, int format, void* buffer);
std::int32_t write_ascii_row(grid_target& stream, std::int32_t count, int format, void* buffer);
std::int32_t read_binary_row(source_reader& stream, std::int32_t count, int format, void* buffer);
std::int32_t write_binary_row(grid_target& stream, std::int32_t count, int format, void* buffer);

// Moves nrows rows of ncols values from source to target, converting between the formats when they
// differ; a text side takes the other side's format. Earlier rows stay written when a row fails.
failure move_rows(std::int32_t nrows, std::int32_t ncols, int source_format,
                  source_reader& source_stream, int target_format, grid_target& target_stream);

// move_rows, ending the run on failure. Does not close the streams.
void transfer_grid(std::int32_t nrows, std::int32_t ncols, int source_format,
                   source_reader& source_stream, int target_format, grid_target& target_stream);

// "Row: %d\tColumn: %d" naming the first value of a row-major grid of ncols columns that did not
// reach the target, as found from the bytes that did.
std::string lost_value_position(const grid_target& target, std::int32_t ncols, int width);
