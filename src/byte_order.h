// Files hold elements little-endian on every host: the swap that both writes and reads them.
#pragma once

#include <bit>
#include <cstddef>

// Reverses the bytes of count elements of width bytes in place when the host is big-endian.
// Nothing happens on little-endian hosts.
inline void swap_to_little_endian(unsigned char* data, std::size_t count, std::size_t width) {
    if constexpr (std::endian::native == std::endian::little) {
        (void)data;
        (void)count;
        (void)width;
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            unsigned char* e = data + i * width;
            for (std::size_t lo = 0, hi = width - 1; lo < hi; ++lo, --hi) {
                const unsigned char t = e[lo];
                e[lo] = e[hi];
                e[hi] = t;
            }
        }
    }
}
