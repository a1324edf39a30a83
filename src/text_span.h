// The parser of a span of grid text: its tokens into values of a binary format, knowing nothing of
// files, threads or messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "formats.h"

// What parse_text_span found: values parsed, whether it stopped at a token that is not wholly a
// number (the one at index values), and where it stopped: at that token, after the last value
// taken, or at the end.
struct span_parse {
    std::size_t values;
    bool stopped;
    const char* next;
    bool changed = false;  // stopped at a value that would not keep its value in the target
};

// Bytes after a span that parse_text_span may read; they must be readable.
constexpr std::size_t SPAN_SLACK = 128;

// Parses the tokens of [first, last), which ends in white space and is followed by SPAN_SLACK
// readable bytes, into out as values of a binary format, up to max_values of them: room for
// (last - first + 1) / 2 values, or max_values if fewer. Integers keep their low bits.
span_parse parse_text_span(const char* first, const char* last, element_format format, void* out,
                           std::size_t max_values = SIZE_MAX);

// The one number of text, white space around it aside, as format stores it (integers keep their
// low bits), into out: what a cell of that text would hold. False when text is not exactly one
// such number.
bool parse_one_value(std::string_view text, element_format format, void* out);

// parse_text_span of integer tokens into wide values (see WIDE_BEYOND), which keep their range:
// what the narrowing checks read.
span_parse parse_wide_integer_span(const char* first, const char* last, std::int64_t* out,
                                   std::size_t max_values = SIZE_MAX);

// Real tokens (no words) rounded to integers, halves away from zero, into wide values.
span_parse parse_rounded_span(const char* first, const char* last, std::int64_t* out,
                              std::size_t max_values = SIZE_MAX);
