// The source cut into chunks that the transform takes whole: text cut after its last white space,
// so that no token is split between two chunks; binary elements cut at element boundaries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "source_reader.h"

// The converting thread's own: no other thread touches it.
struct chunk_source {
    source_reader* reader = nullptr;
    std::size_t capacity = 0;  // bytes a chunk takes from the source
    std::size_t width = 0;     // of the binary elements read; 0 for text
    std::size_t cut_unit = 0;  // binary chunks hold whole multiples of it: elements, or rows
    std::uint64_t limit = UINT64_MAX;  // bytes to take from the source: a binary grid's size
    bool integral = false;  // text read as integers: how a token longer than a chunk is cut short
    bool rounded = false;   // text read as reals rounded to integers (--round): the same
    bool may_wait = false;  // reads may wait for data: only what is ready is read while work waits
    std::unique_ptr<char[]> carry;  // the bytes after the last cut, for the next chunk
    std::size_t carry_size = 0;     // bytes the carry holds
    std::size_t carried = 0;
    bool input_over = false;
    bool long_token = false;  // the chunk being filled holds the start of a token longer than it
};

enum class fill_result { filled, waiting, over };

// Starts cutting reader's input into chunks of capacity bytes (at least MIN_CHUNK_BYTES), text
// when width is 0, else elements of width bytes; false when the carry's memory cannot be had. A
// carry of that size already in source is kept.
constexpr std::size_t MIN_CHUNK_BYTES = 1024;
bool open_chunk_source(chunk_source& source, source_reader& reader, std::size_t capacity,
                       std::size_t width, bool integral);

// Makes room to carry the bytes after the cut of chunks of capacity bytes, before the chunks grow
// to it; false, with nothing changed, when the memory cannot be had.
bool reserve_carry(chunk_source& source, std::size_t capacity);

// Fills bytes (capacity bytes, followed by room for a NUL) with the carried bytes and what the
// source gives, and sets size to the bytes up to the cut: filled when there are some. With
// work_pending a read that could wait is not made; waiting is returned instead, so that a pipe held
// open after the grid never keeps values already read from the target. over when the input ended
// (or a read failed) with nothing more to give. A text token longer than a chunk is read to its
// end and left as its short form with the same value, followed by a newline.
fill_result fill_chunk(chunk_source& source, char* bytes, std::size_t& size, bool work_pending);

// Whether the source gives any byte after the chunks filled so far; reads until one arrives or
// the input ends.
bool source_goes_on(chunk_source& source);
