// Element formats: codes, widths, the names users type, and row conversion between binary formats.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The order of the codes is fixed: every per-format table is indexed by it. The unsigned integer
// formats are exactly the odd codes below 8, each right after its signed partner.
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

struct format_info {
    std::string_view name;     // as the user types it in full
    int width;                 // bytes per element; 0 for ascii
    element_format promotion;  // what convert_row widens through
    bool is_float;
};

// Indexed by element_format, FMT_ASCII included.
extern const format_info format_table[FMT_ASCII + 1];

inline bool is_binary_format(int format) {
    return format >= 0 && format < BINARY_FORMATS;
}

// Width in bytes of each binary format, filled once by init_element_sizes before anything else.
extern int element_size[BINARY_FORMATS];
void init_element_sizes();

// The format that text names, or nothing when it is refused. text must already be lower case.
// Decided by its first letter (after a "u" for the unsigned kinds); trailing digits must give
// the format's width in bits or bytes ("float32", "f4"), so that a name never gets a wrong width.
std::optional<element_format> format_from_name(std::string_view text);

// Lower-cases text in place and returns its format; ends the run with
// "Unrecognized format specifier:" and the lower-cased text when the name is refused.
element_format parse_format(char* text);

// Converts count elements from source_buffer to target_buffer through the source's promotion
// format; integer narrowing keeps the low bits, never saturates. Returns at once for equal
// formats. Ends the run for a format outside the binary ones or when memory runs out.
void convert_row(std::int32_t count, int source_format, const void* source_buffer,
                 int target_format, void* target_buffer);
