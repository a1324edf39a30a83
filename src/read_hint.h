// A second look at a source that stopped at a value that is not one, for the line "hint: " that
// follows "Error reading input:": the token as written and the line it is on, which the message's
// row and column do not give in a file whose rows wrap over several lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "formats.h"

// The hint for value number value (row-major from the grid's first, in a grid of cells values)
// of the text grid at path, read into format: the token, cut at 40 characters with control bytes
// as \xHH, and its line; for a decimal into an integer format, what to do (never --round where
// rounded says it was given); where the grid ends before it, how many values it has. Empty where
// path is no regular file that can be read again.
std::string bad_value_hint(const std::string& path, std::uint64_t value, std::uint64_t cells,
                           element_format format, bool rounded);

// The token of value number value of the text grid at path, as written; nothing where it cannot
// be read again or is longer than the hint keeps.
std::optional<std::string> token_at(const std::string& path, std::uint64_t value);

// The hint after --strict stopped at a cell that is the grid's no-data value nodata, which format
// does not hold: give --nodata N.
std::string nodata_hint(const std::string& nodata, element_format format);

// Whether element number value of the raw source at path (elements of format, big-endian where
// said) holds the no-data value nodata, read again from the file; false for standard input.
bool element_is_nodata(const std::string& path, std::uint64_t value, element_format format,
                       bool big_endian, const std::string& nodata);

// Whether value number value of the text grid at path is written as a number equal to nodata.
bool token_is_nodata(const std::string& path, std::uint64_t value, const std::string& nodata);
