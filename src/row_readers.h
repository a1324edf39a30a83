// Row readers: count values of a binary format from the source into a row buffer, from the
// grid's text or from binary elements.
#pragma once

#include <cstdint>

#include "source_reader.h"

// Each returns how many values it moved. The text reader stops at the first value that is not
// wholly a number of the format's kind and ends the run on a format that is not binary; the
// binary reader stops where the input ends.
std::int32_t read_ascii_row(source_reader& reader, std::int32_t count, int format, void* buffer);
std::int32_t read_binary_row(source_reader& reader, std::int32_t count, int format, void* buffer);
