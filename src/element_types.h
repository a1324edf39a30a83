// The C++ type behind each binary element format, so per-format code is written once as a
// template and chosen here.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "formats.h"

template <typename T>
struct type_tag {
    using type = T;
};

// Calls f(type_tag<T>{}) with the element type of a binary format; false for any other code.
template <typename F>
bool with_element_type(int format, F&& f) {
    switch (format) {
        case FMT_CHAR: f(type_tag<std::int8_t>{}); return true;
        case FMT_UCHAR: f(type_tag<std::uint8_t>{}); return true;
        case FMT_SHORTINT: f(type_tag<std::int16_t>{}); return true;
        case FMT_USHORTINT: f(type_tag<std::uint16_t>{}); return true;
        case FMT_INTEGER:
        case FMT_LONGINTEGER: f(type_tag<std::int32_t>{}); return true;
        case FMT_UINTEGER:
        case FMT_ULONGINTEGER: f(type_tag<std::uint32_t>{}); return true;
        case FMT_FLOAT: f(type_tag<float>{}); return true;
        case FMT_DOUBLE: f(type_tag<double>{}); return true;
        default: return false;
    }
}

// The promotion type of an element type: signed integers widen to 32-bit signed, unsigned ones to
// 32-bit unsigned, floating point to double.
template <typename T>
using promoted_t =
    std::conditional_t<std::is_floating_point_v<T>, double,
                       std::conditional_t<std::is_signed_v<T>, std::int32_t, std::uint32_t>>;

// Reverses the bytes of count elements of width bytes in place when the host is big-endian, so
// files are little-endian everywhere. Nothing happens on little-endian hosts.
inline void swap_to_little_endian(unsigned char* data, std::size_t count, int width) {
    if constexpr (std::endian::native == std::endian::little) {
        (void)data;
        (void)count;
        (void)width;
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            unsigned char* e = data + i * static_cast<std::size_t>(width);
            for (int lo = 0, hi = width - 1; lo < hi; ++lo, --hi) {
                const unsigned char t = e[lo];
                e[lo] = e[hi];
                e[hi] = t;
            }
        }
    }
}
