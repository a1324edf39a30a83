// A read-only stream over fuzz input, for the reader that takes a FILE.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

struct memory_file {
    std::vector<std::uint8_t> bytes;
    std::FILE* file;

    memory_file(const std::uint8_t* data, std::size_t size) : bytes(data, data + size) {
        bytes.push_back(0);  // fmemopen refuses an empty buffer; the size below leaves it out
        file = size == 0 ? std::fopen("/dev/null", "rb") : fmemopen(bytes.data(), size, "rb");
    }
    ~memory_file() { std::fclose(file); }
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;
};
