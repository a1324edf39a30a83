// Files hold elements little-endian on every host: the swap that both writes and reads them, and
// the one that reads the big-endian elements other tools write.
#pragma once

#include <bit>
#include <cstddef>

// Reverses the bytes of each of count elements of width bytes in place.
inline void reverse_elements(unsigned char* data, std::size_t count, std::size_t width) {
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char* e = data + i * width;
        for (std::size_t lo = 0, hi = width - 1; lo < hi; ++lo, --hi) {
            const unsigned char t = e[lo];
            e[lo] = e[hi];
            e[hi] = t;
        }
    }
}

// Reverses the bytes of count elements of width bytes in place when the host is big-endian.
// Nothing happens on little-endian hosts.
inline void swap_to_little_endian(unsigned char* data, std::size_t count, std::size_t width) {
    if constexpr (std::endian::native != std::endian::little) reverse_elements(data, count, width);
}

// Brings count elements of width bytes, stored in the order stored, into the host's order.
inline void swap_to_host(unsigned char* data, std::size_t count, std::size_t width,
                         std::endian stored) {
    if (stored != std::endian::native) reverse_elements(data, count, width);
}
