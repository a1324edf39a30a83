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

// Whether convert_short_integers runs here: x86 with AVX2.
bool converts_short_integers();

// The tokens that end at base + ends[k], k < count, each a minus or none and then digits, as
// 32-bit values (whose low bits every integer format keeps), into out, four at a time, each from
// one 8-byte load ending at the token's end: the 9 bytes before every end must be readable, and
// the byte before every token white space. Stops before the first four with a token of more than
// eight bytes or a lone minus, and before the last count % 4; returns how many it converted.
std::size_t convert_short_integers(const char* base, const std::uint32_t* ends, std::size_t count,
                                   std::int32_t* out);

// Whether convert_fixed_decimals runs here: x86 with AVX2.
bool converts_fixed_decimals();

// The tokens that end at base + ends[k], k < count, each a minus or none, then digits with a
// point places (1 to 6) bytes before the end, or digits alone, in a stride of nothing but digits,
// points, leading minus signs and white space: each value as the digits read as an integer, then
// divided by 10^places in T where there is a point, into out, four at a time, from one 8-byte load
// ending at each token's end: the 9 bytes before every end must be readable, and the byte before
// every token white space. Stops before the first four with another shape (more than eight bytes,
// a point elsewhere, a lone minus), and before the last count % 4;
// returns how many it converted.
std::size_t convert_fixed_decimals(const char* base, const std::uint32_t* ends, std::size_t count,
                                   int places, float* out);
std::size_t convert_fixed_decimals(const char* base, const std::uint32_t* ends, std::size_t count,
                                   int places, double* out);
