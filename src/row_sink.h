// The ordered sink: values into the target in grid order, a complete row at a time. It counts the
// values it took, so it is the one place that names the first value not moved.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "failure.h"
#include "formats.h"
#include "target.h"
#include "text_rows.h"

// The converting thread's own.
struct row_sink {
    struct free_deleter {
        void operator()(unsigned char* p) const { std::free(p); }
    };

    grid_target* target = nullptr;
    element_format format = FMT_FLOAT;  // of the values, a binary format
    bool text = false;                  // rows are written as text
    const cell_text* style = nullptr;   // how, when text: never nullptr then
    std::int32_t ncols = 0;
    std::uint64_t wanted = 0;  // values in the grid
    std::uint64_t taken = 0;   // values put in so far
    // The values of a row not yet complete wait here, so that a failure later in that row leaves
    // them out of the target.
    std::unique_ptr<unsigned char, free_deleter> row;
    std::size_t staged = 0;
};

// Starts a sink of nrows rows of ncols values of format (binary) into target, written as text when
// text is set; false when the memory for a row cannot be had.
bool open_row_sink(row_sink& sink, grid_target& target, element_format format, bool text,
                   std::int32_t nrows, std::int32_t ncols);

// Values the grid still wants.
inline std::uint64_t values_wanted(const row_sink& sink) {
    return sink.wanted - sink.taken;
}

// Puts count values (no more than the grid still wants) into the target; false when a write
// failed.
bool put_values(row_sink& sink, const unsigned char* values, std::size_t count);
// Puts the text of count values, whole rows, into the target; false when a write failed.
bool put_text_rows(row_sink& sink, const char* text, std::size_t size, std::size_t count);

// The failure of a run whose next value (or the one ahead values after it, all read) is not one,
// or is missing: "Error reading input:" with its row and column, unless writing the complete rows
// before it loses an earlier one.
failure stopped_at_next_value(row_sink& sink, std::uint64_t ahead = 0);
// "Error writing output:" naming the first value that did not reach the target.
failure lost_values(const row_sink& sink);
// Writes what the target holds: nothing, or "Error writing output:".
failure finish_rows(row_sink& sink);
