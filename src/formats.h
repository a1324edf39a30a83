// Element formats: codes, widths, the names users type, and row conversion between binary formats.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The order of the codes is fixed: every per-format table is indexed by it.
enum element_format : int {
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

constexpr int BINARY_FORMATS = 10;

enum class element_kind { signed_integer, unsigned_integer, real, text };

struct format_info {
    std::string_view name;  // as the user types it in full
    char letter;            // the letter that names it, after a "u" for the unsigned kinds
    element_kind kind;
    int width;                 // bytes per element; 0 for ascii
    element_format promotion;  // what convert_row widens through
};

// Everything the program knows of a format, indexed by element_format, FMT_ASCII included. The
// element type behind each binary format is derived from its kind and width (element_types.h).
inline constexpr format_info format_table[FMT_ASCII + 1] = {
    {"char", 'c', element_kind::signed_integer, 1, FMT_LONGINTEGER},
    {"uchar", 'c', element_kind::unsigned_integer, 1, FMT_ULONGINTEGER},
    {"shortint", 's', element_kind::signed_integer, 2, FMT_LONGINTEGER},
    {"ushortint", 's', element_kind::unsigned_integer, 2, FMT_ULONGINTEGER},
    {"integer", 'i', element_kind::signed_integer, 4, FMT_LONGINTEGER},
    {"uinteger", 'i', element_kind::unsigned_integer, 4, FMT_ULONGINTEGER},
    {"longinteger", 'l', element_kind::signed_integer, 4, FMT_LONGINTEGER},
    {"ulonginteger", 'l', element_kind::unsigned_integer, 4, FMT_ULONGINTEGER},
    {"float", 'f', element_kind::real, 4, FMT_DOUBLE},
    {"double", 'd', element_kind::real, 8, FMT_DOUBLE},
    {"ascii", 'a', element_kind::text, 0, FMT_ASCII},
};

// Width in bytes of each binary format, indexed by element_format.
inline constexpr int element_size[BINARY_FORMATS] = {
    format_table[0].width, format_table[1].width, format_table[2].width, format_table[3].width,
    format_table[4].width, format_table[5].width, format_table[6].width, format_table[7].width,
    format_table[8].width, format_table[9].width};

inline bool is_binary_format(int format) {
    return format >= 0 && format < BINARY_FORMATS;
}

// The format that text names, or nothing when it is refused. text must already be lower case.
// Decided by its first letter (after a "u" for the unsigned kinds); trailing digits must give
// the format's width in bits or bytes ("float32", "f4"), so that a name never gets a wrong width.
std::optional<element_format> format_from_name(std::string_view text);

// Lower-cases text in place and returns its format; ends the run with
// "Unrecognized format specifier:" and the lower-cased text when the name is refused.
element_format parse_format(char* text);

// Converts count elements from source_buffer to target_buffer through the source's promotion
// format; integer narrowing keeps the low bits, never saturates. Returns at once for equal
// formats. Ends the run for a format outside the binary ones.
void convert_row(std::int32_t count, int source_format, const void* source_buffer,
                 int target_format, void* target_buffer);
