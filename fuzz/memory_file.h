// A read-only descriptor over fuzz input, for the reader that takes one.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

struct memory_file {
    int fd;

    memory_file(const std::uint8_t* data, std::size_t size) : fd(memfd_create("fuzz", 0)) {
        if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) __builtin_trap();
        lseek(fd, 0, SEEK_SET);
    }
    ~memory_file() { close(fd); }
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;
};
