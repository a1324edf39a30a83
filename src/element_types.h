// The C++ type behind each binary element format, derived from the format table, so per-format
// code is written once as a template and chosen here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "formats.h"

template <element_kind K, int Width>
struct element_type_for;
template <>
struct element_type_for<element_kind::signed_integer, 1> {
    using type = std::int8_t;
};
template <>
struct element_type_for<element_kind::signed_integer, 2> {
    using type = std::int16_t;
};
template <>
struct element_type_for<element_kind::signed_integer, 4> {
    using type = std::int32_t;
};
template <>
struct element_type_for<element_kind::unsigned_integer, 1> {
    using type = std::uint8_t;
};
template <>
struct element_type_for<element_kind::unsigned_integer, 2> {
    using type = std::uint16_t;
};
template <>
struct element_type_for<element_kind::unsigned_integer, 4> {
    using type = std::uint32_t;
};
template <>
struct element_type_for<element_kind::real, 4> {
    using type = float;
};
template <>
struct element_type_for<element_kind::real, 8> {
    using type = double;
};

// The element type of binary format F.
template <int F>
using element_t = typename element_type_for<format_table[F].kind, format_table[F].width>::type;

template <typename T>
struct type_tag {
    using type = T;
};

namespace detail {
template <typename Fn, int... F>
bool dispatch_format(int format, Fn& fn, std::integer_sequence<int, F...>) {
    return ((format == F && (fn(std::integral_constant<int, F>{}), true)) || ...);
}
}  // namespace detail

// Calls f(std::integral_constant<int, F>{}) for the binary format F that format names; false for
// any other code.
template <typename Fn>
bool with_binary_format(int format, Fn&& fn) {
    return detail::dispatch_format(format, fn, std::make_integer_sequence<int, BINARY_FORMATS>{});
}

// Calls f(type_tag<T>{}) with the element type of a binary format; false for any other code.
template <typename Fn>
bool with_element_type(int format, Fn&& fn) {
    return with_binary_format(format,
                              [&](auto f) { fn(type_tag<element_t<decltype(f)::value>>{}); });
}

// Reverses the bytes of count elements of width bytes in place when the host is big-endian, so
// files are little-endian everywhere. Nothing happens on little-endian hosts.
inline void swap_to_little_endian(unsigned char* data, std::size_t count, int width) {
    if constexpr (std::endian::native == std::endian::little) {
        (void)data;
        (void)count;
        (void)width;
    } else {
        const auto size = static_cast<std::size_t>(width);
        for (std::size_t i = 0; i < count; ++i) {
            unsigned char* e = data + i * size;
            for (std::size_t lo = 0, hi = size - 1; lo < hi; ++lo, --hi) {
                const unsigned char t = e[lo];
                e[lo] = e[hi];
                e[hi] = t;
            }
        }
    }
}
