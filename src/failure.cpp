#include "failure.h"

#include <cstdio>
#include <cstdlib>

namespace {

void (*before_fatal_error)() = nullptr;

}  // namespace

void set_before_fatal_error(void (*step)()) {
    before_fatal_error = step;
}

void fatal_error(std::string_view message, std::string_view detail) {
    if (before_fatal_error != nullptr) before_fatal_error();
    // One write, so the line is not interleaved with another process's output.
    std::string line;
    line.reserve(message.size() + detail.size() + 2);
    line.append(message).append(" ").append(detail).append("\n");
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::exit(1);
}

void fatal_error(const failure& f) {
    fatal_error(f.message, f.detail);
}

std::string row_column(std::uint64_t row, std::uint64_t column) {
    return "Row: " + std::to_string(row) + "\tColumn: " + std::to_string(column);
}
