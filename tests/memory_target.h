// A target over a temporary file, read back whole: for the tests and the fuzzers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "target.h"

// A target writing into a temporary file, read back whole.
struct memory_target {
    std::FILE* file;
    grid_target target;

    explicit memory_target(std::size_t capacity = TARGET_BLOCK_SIZE,
                           std::uint64_t write_behind_after = NO_WRITE_BEHIND)
        : file(std::tmpfile()) {
        open_target(target, file, capacity, write_behind_after);
    }
    ~memory_target() {
        if (file != nullptr) close_target(target);
    }
    std::string bytes() {
        flush_target(target);
        std::string all;
        std::rewind(file);
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            all.append(chunk, n);
        return all;
    }
};
