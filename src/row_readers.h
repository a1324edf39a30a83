// Row readers: count values of a binary format from the source into a row buffer, from the
// grid's text or from binary elements.
#pragma once

#include <cstddef>
#include <cstdint>

#include "source_reader.h"

// Each returns how many values it moved. The text reader stops at the first value that is not
// wholly a number of the format's kind and ends the run on a format that is not binary; the
// binary reader stops where the input ends.
std::int32_t read_ascii_row(source_reader& reader, std::int32_t count, int format, void* buffer);
std::int32_t read_binary_row(source_reader& reader, std::int32_t count, int format, void* buffer);

// What parse_text_span found: values parsed, whether it stopped at a token that is not wholly a
// number (the one at index values), and where it stopped: at that token, after the last value
// taken, or at the end.
struct span_parse {
    std::size_t values;
    bool stopped;
    const char* next;
};

// Bytes after a span that parse_text_span may read; they must be readable.
constexpr std::size_t SPAN_SLACK = 128;

// Parses the tokens of [first, last), which ends in white space and is followed by SPAN_SLACK
// readable bytes, into out as values of a binary format, up to max_values of them: room for
// (last - first + 1) / 2 values, or max_values if fewer.
span_parse parse_text_span(const char* first, const char* last, int format, void* out,
                           std::size_t max_values = SIZE_MAX);
