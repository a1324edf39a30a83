// Element formats: codes, widths, the C++ type behind each, the names users type, and row
// conversion between binary formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "failure.h"

// The order of the codes is fixed: every per-format table is indexed by it. A scoped type, so that
// no integer passes for a format by accident; the names themselves are used unqualified.
enum class element_format : int {
    FMT_CHAR = 0,
    FMT_UCHAR,
    FMT_SHORTINT,
    FMT_USHORTINT,
    FMT_INTEGER,
    FMT_UINTEGER,
    FMT_LONGINTEGER,
    FMT_ULONGINTEGER,
    FMT_FLOAT,
    FMT_DOUBLE,
    FMT_ASCII,
};
using enum element_format;

constexpr int BINARY_FORMATS = 10;

enum class element_kind { signed_integer, unsigned_integer, real, text };

struct format_info {
    std::string_view name;  // as the user types it in full
    char letter;            // the letter that names it, after a "u" for the unsigned kinds
    element_kind kind;
    int width;                 // bytes per element; 0 for ascii
    element_format promotion;  // what convert_row widens through
    std::string_view gdal;     // what GDAL calls it, for the hint after a refused name
    std::string_view numpy;    // numpy's type code
};

// Everything the program knows of a format, indexed by element_format, FMT_ASCII included. The
// element type behind each binary format is derived from its kind and width (element_t below).
inline constexpr format_info format_table[BINARY_FORMATS + 1] = {
    {"char", 'c', element_kind::signed_integer, 1, FMT_LONGINTEGER, "Int8", "i1"},
    {"uchar", 'c', element_kind::unsigned_integer, 1, FMT_ULONGINTEGER, "Byte", "u1"},
    {"shortint", 's', element_kind::signed_integer, 2, FMT_LONGINTEGER, "Int16", "i2"},
    {"ushortint", 's', element_kind::unsigned_integer, 2, FMT_ULONGINTEGER, "UInt16", "u2"},
    {"integer", 'i', element_kind::signed_integer, 4, FMT_LONGINTEGER, "Int32", "i4"},
    {"uinteger", 'i', element_kind::unsigned_integer, 4, FMT_ULONGINTEGER, "UInt32", "u4"},
    {"longinteger", 'l', element_kind::signed_integer, 4, FMT_LONGINTEGER, "Int32", "i4"},
    {"ulonginteger", 'l', element_kind::unsigned_integer, 4, FMT_ULONGINTEGER, "UInt32", "u4"},
    {"float", 'f', element_kind::real, 4, FMT_DOUBLE, "Float32", "f4"},
    {"double", 'd', element_kind::real, 8, FMT_DOUBLE, "Float64", "f8"},
    {"ascii", 'a', element_kind::text, 0, FMT_ASCII, "AAIGrid", ""},
};

constexpr int code_of(element_format format) {
    return static_cast<int>(format);
}

constexpr const format_info& info_of(element_format format) {
    return format_table[code_of(format)];
}

// The width of a format's elements in bytes; 0 for ascii.
constexpr std::size_t width_of(element_format format) {
    return static_cast<std::size_t>(info_of(format).width);
}

constexpr bool is_binary_format(element_format format) {
    return code_of(format) >= 0 && code_of(format) < BINARY_FORMATS;
}

// The binary format of a code, for loops over every format.
constexpr element_format binary_format(int code) {
    return static_cast<element_format>(code);
}

// The format that text names, or nothing when it is refused. text must already be lower case.
// Decided by its first letter (after a "u" for the unsigned kinds); trailing digits must give
// the format's width in bits or bytes ("float32", "f4"), so that a name never gets a wrong width.
std::optional<element_format> format_from_name(std::string_view text);

// The format text names, in any case, into format; fails with "Unrecognized format specifier:",
// the lower-cased text and a hint with the names and what GDAL and numpy call them.
failure parse_format(std::string_view text, element_format& format);

// The hint after a refused format name: every name, with GDAL's and numpy's.
std::string format_names_hint();

// Converts count elements from source_buffer to target_buffer through the source's promotion
// format; integer narrowing keeps the low bits, never saturates. Returns at once for equal
// formats; both must be binary.
void convert_row(std::int32_t count, element_format source_format, const void* source_buffer,
                 element_format target_format, void* target_buffer);

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

// The element type of binary format F, given by its code.
template <int F>
using element_t = typename element_type_for<format_table[F].kind, format_table[F].width>::type;

template <typename T>
struct type_tag {
    using type = T;
};

namespace detail {
template <typename Fn, int... F>
bool dispatch_format(int code, Fn& fn, std::integer_sequence<int, F...>) {
    return ((code == F && (fn(std::integral_constant<int, F>{}), true)) || ...);
}
}  // namespace detail

// Calls fn(std::integral_constant<int, F>{}) with the code F of a binary format; false, calling
// nothing, for ascii.
template <typename Fn>
bool with_binary_format(element_format format, Fn&& fn) {
    return detail::dispatch_format(code_of(format), fn,
                                   std::make_integer_sequence<int, BINARY_FORMATS>{});
}

// Calls fn(type_tag<T>{}) with the element type of a binary format; false for ascii.
template <typename Fn>
bool with_element_type(element_format format, Fn&& fn) {
    return with_binary_format(format,
                              [&](auto f) { fn(type_tag<element_t<decltype(f)::value>>{}); });
}
