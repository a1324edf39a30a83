// Vector kernels for one shape of token each, grouped into implementations (one per instruction
// set), of which one is chosen once at start by what the CPU has; text_span's portable paths take
// every shape an implementation has no kernel for, and every shape on the portable one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "failure.h"
#include "separator_scan.h"

// One implementation's kernels; null where it has none for that shape or step.
struct digit_kernels {
    const char* name;
    // Whether this CPU has the instructions the kernels need.
    bool (*runs_here)();

    // The values of the one- and two-digit tokens that start where starting's bits say (bit i of
    // starting[b]: byte 64 b + i from base), as bytes, in order, into out. Every token of the
    // blocks must be one or two digits followed by white space. Reads up to 65 bytes past each
    // block's start and writes up to 8 bytes past the last value.
    void (*pack_short_digits)(const char* base, const std::uint64_t* starting, std::size_t blocks,
                              unsigned char* out);

    // The tokens that end at base + ends[k], k < count, each a minus or none and then digits, as
    // 32-bit values (whose low bits every integer format keeps), into out, four at a time (or two
    // fours together), each from one 8-byte load ending at the token's end: the 9 bytes before
    // every end must be readable, and the byte before every token white space. Stops before the
    // first four with a token of more than eight bytes or a lone minus, and before the last
    // count % 4; returns how many it converted. Writes no value past those.
    std::size_t (*convert_short_integers)(const char* base, const std::uint32_t* ends,
                                          std::size_t count, std::int32_t* out);

    // The tokens that end at base + ends[k], k < count, each a minus or none, then digits with a
    // point places (1 to 6) bytes before the end, or digits alone, in a stride of nothing but
    // digits, points, leading minus signs and white space: each value as the digits read as an
    // integer, then divided by 10^places where there is a point, into out, four at a time, from
    // one 8-byte load ending at each token's end: the 9 bytes before every end must be readable,
    // and the byte before every token white space. Stops before the first four with another shape
    // (more than eight bytes, a point elsewhere, a lone minus), and before the last count % 4;
    // returns how many it converted.
    std::size_t (*convert_fixed_floats)(const char* base, const std::uint32_t* ends,
                                        std::size_t count, int places, float* out);
    std::size_t (*convert_fixed_doubles)(const char* base, const std::uint32_t* ends,
                                         std::size_t count, int places, double* out);

    // The offsets of the set bits of bits[b], b < blocks (bit i: 64 b + i), in order, into
    // offsets; returns how many. Writes up to 31 entries past the last offset.
    std::size_t (*flatten_bits)(const std::uint64_t* bits, std::size_t blocks,
                                std::uint32_t* offsets);

    // classify_block of each of blocks 64-byte blocks from base, into classes.
    void (*classify_blocks)(const char* base, std::size_t blocks, byte_classes* classes);

    // The tokens that end at base + ends[k], k < count, a multiple of eight, each a minus or
    // none, then up to 19 digits with a point among them or none, as scan_cell_real reads them,
    // in a stride of nothing but digits, points, minus signs and white space, into out, eight at
    // a time, each from two 32-byte loads ending at its end and one byte before it: the 33 bytes
    // before every end must be readable. A token of another shape or longer than 32 bytes, and a
    // value the fast path of scan_cell_real would not round (for floats: next to a midpoint), it
    // leaves, its out unset: returns how many, their indices in order into left.
    std::size_t (*convert_decimal_floats)(const char* base, const std::uint32_t* ends,
                                          std::size_t count, float* out, std::uint32_t* left);
    std::size_t (*convert_decimal_doubles)(const char* base, const std::uint32_t* ends,
                                           std::size_t count, double* out, std::uint32_t* left);
};

// The implementations this CPU runs, portable first and the one chosen by default last.
std::vector<const digit_kernels*> runnable_kernels();

// The implementation the parsers use: the last of runnable_kernels(), or the one set_kernels
// chose. Read once per span, so a choice takes effect between spans.
const digit_kernels& active_kernels();

// Makes the implementation called name (in any case) the active one. Fails with "Unknown kernel
// set:" or "Kernel set not supported on this CPU:" and the name, with a hint naming those this
// CPU runs; the active one then stays.
failure set_kernels(std::string_view name);

// The names of runnable_kernels(), separated by ", ".
std::string runnable_kernel_names();
