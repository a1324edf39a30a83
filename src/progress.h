// A progress line on standard error for conversions that take a while, shown only where a person
// watches: on a terminal, never in scripts or logs.
#pragma once

#include <cstdint>
#include <memory>

#include "source_reader.h"

// The thread that paints the line; its state is this module's own, in progress.cpp.
struct progress_line;
struct stop_progress_line {
    // Stops the thread and erases the line if it was shown.
    void operator()(progress_line* line) const;
};
using progress_handle = std::unique_ptr<progress_line, stop_progress_line>;

// Whether a progress line may be shown: standard error is a terminal and RASTMILL_PROGRESS is not
// 0.
bool progress_wanted();

// Starts a thread that, once a second has passed, shows how far reader has come (the percentage of
// source_size when it is known, else bytes read) and the speed, at most ten times a second, until
// the handle is reset. Empty when no thread could be had: the conversion goes on without a line.
progress_handle start_progress(const source_reader& reader, std::uint64_t source_size);
