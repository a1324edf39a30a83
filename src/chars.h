// Character classes of the grid text, locale-free so that every host reads a file alike.
#pragma once

// Cell separators: space, tab, newline, carriage return, vertical tab, form feed.
inline bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline bool is_digit(char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}

// The value of a decimal digit, or a number above 9 for any other byte.
inline unsigned digit_value(char c) {
    return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0';
}

// The value of a digit in bases up to 16, or 99 for any other byte.
inline int base16_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// What separates the tokens of a header line (the line end aside).
inline bool is_header_separator(int c) {
    return c == ' ' || c == '\t' || c == ',';
}

inline char to_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
