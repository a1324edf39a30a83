#include "progress.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform.h"

// Shared by the converting thread and the painter. painter is started and joined by the
// converting thread; stop is read and written only under lock. The painter alone paints.
struct progress_line {
    std::thread painter;
    std::mutex lock;
    std::condition_variable wake;  // stop was set
    bool stop = false;
};

namespace {

using clock_type = std::chrono::steady_clock;

std::string progress_text(std::uint64_t done, std::uint64_t size, double seconds) {
    char text[96];
    const double megabytes = static_cast<double>(done) / 1e6;
    const double speed = seconds > 0 ? megabytes / seconds : 0;
    if (size > 0) {
        std::snprintf(text, sizeof text, "rastmill: %3.0f%%  %.0f MB/s",
                      100.0 * static_cast<double>(done) / static_cast<double>(size), speed);
    } else {
        std::snprintf(text, sizeof text, "rastmill: %.1f MB read  %.0f MB/s", megabytes, speed);
    }
    return text;
}

// Overwrites the current terminal line with text, padded to cover what was there.
void paint(const std::string& text, std::size_t& width) {
    std::string line = "\r" + text;
    if (text.size() < width) line.append(width - text.size(), ' ');
    width = std::max(width, text.size());
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// Paints the progress line, once a second has passed and then ten times a second, until stopped;
// then erases it if it was shown.
void paint_until_stopped(progress_line& line, const source_reader& reader,
                         std::uint64_t source_size) {
    const auto start = clock_type::now();
    auto next = start + std::chrono::seconds(1);
    std::size_t width = 0;
    bool shown = false;
    std::unique_lock<std::mutex> held(line.lock);
    while (!line.wake.wait_until(held, next, [&] { return line.stop; })) {
        const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        paint(
            progress_text(reader.bytes_read.load(std::memory_order_relaxed), source_size, seconds),
            width);
        shown = true;
        next += std::chrono::milliseconds(100);
    }
    if (shown) {
        paint("", width);
        std::fputc('\r', stderr);
    }
}

}  // namespace

bool progress_wanted() {
    const char* setting = std::getenv("RASTMILL_PROGRESS");
    if (setting != nullptr && std::strcmp(setting, "0") == 0) return false;
    return is_terminal(2);
}

progress_handle start_progress(const source_reader& reader, std::uint64_t source_size) {
    progress_handle line(new (std::nothrow) progress_line);
    if (!line) return line;
    try {
        line->painter =
            std::thread(paint_until_stopped, std::ref(*line), std::cref(reader), source_size);
    } catch (const std::exception&) {
        line.reset();
    }
    return line;
}

void stop_progress_line::operator()(progress_line* line) const {
    if (line->painter.joinable()) {
        {
            const std::lock_guard<std::mutex> held(line->lock);
            line->stop = true;
        }
        line->wake.notify_one();
        line->painter.join();
    }
    delete line;
}
