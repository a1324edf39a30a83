// Vector kernels for one shape of token, chosen at run time where the CPU has the instructions
// they need; the portable paths in text_span stay for every other host and shape.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether pack_short_digits runs here: x86 with SSSE3.
bool packs_short_digits();

// The values of the one- and two-digit tokens that start where starting's bits say (bit i of
// starting[b]: byte 64 b + i from base), as bytes, in order, into out. Every token of the blocks
// must be one or two digits followed by white space. Reads up to 65 bytes past each block's start
// and writes up to 8 bytes past the last value.
void pack_short_digits(const char* base, const std::uint64_t* starting, std::size_t blocks,
                       unsigned char* out);
