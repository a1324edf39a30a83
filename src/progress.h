// A progress line on standard error for conversions that take a while, shown only where a person
// watches: on a terminal, never in scripts or logs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "source_reader.h"

struct progress_line {
    std::thread painter;
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::atomic<bool> shown{false};
};

// Whether a progress line may be shown: standard error is a terminal and RASTMILL_PROGRESS is not
// 0.
bool progress_wanted();

// Starts a thread that, once a second has passed, shows how far reader has come (the percentage of
// source_size when it is known, else bytes read) and the speed, at most ten times a second.
void start_progress(progress_line& line, const source_reader& reader, std::uint64_t source_size);

// Stops the thread and erases the line if it was shown. Safe to call when it never started.
void stop_progress(progress_line& line);
