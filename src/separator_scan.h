// Cell separators, digits and minus signs found 64 bytes at a time, so that where each token starts
// and ends, and which tokens are plain integers, is known before any is parsed: SSE2 where the
// compiler targets it, a plain loop elsewhere (the two give the same bits).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "chars.h"

#if defined(__SSE2__) && !defined(RASTMILL_SCALAR_SCAN)
#include <emmintrin.h>
#endif

// The set bits of a mask, inline everywhere: std::popcount is a call into libgcc in a build for
// baseline x86-64, which has no instruction for it.
inline int count_bits(std::uint64_t x) {
#if defined(__POPCNT__) || !(defined(__x86_64__) || defined(__i386__))
    return std::popcount(x);
#else
    x = x - ((x >> 1) & 0x5555555555555555);
    x = (x & 0x3333333333333333) + ((x >> 2) & 0x3333333333333333);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0F;
    return static_cast<int>((x * 0x0101010101010101) >> 56);
#endif
}

// Bit i of each mask describes byte i of the 64 from a block's start.
struct byte_classes {
    std::uint64_t separators;  // is_space
    std::uint64_t digits;      // '0' to '9'
    std::uint64_t minus;       // '-'
    std::uint64_t points;      // '.'
};

inline byte_classes classify_block(const char* p) {
#if defined(__SSE2__) && !defined(RASTMILL_SCALAR_SCAN)
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i control_span = _mm_set1_epi8('\r' - '\t');
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i digit_span = _mm_set1_epi8(9);
    const __m128i minus = _mm_set1_epi8('-');
    const __m128i point = _mm_set1_epi8('.');
    byte_classes classes{0, 0, 0, 0};
    for (std::ptrdiff_t k = 0; k < 4; ++k) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        // A byte in [low, low + span] is one whose difference from low is at most span, unsigned.
        const __m128i control = _mm_sub_epi8(bytes, tab);
        const __m128i is_control = _mm_cmpeq_epi8(_mm_min_epu8(control, control_span), control);
        const __m128i separator = _mm_or_si128(_mm_cmpeq_epi8(bytes, space), is_control);
        const __m128i digit = _mm_sub_epi8(bytes, zero);
        const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(digit, digit_span), digit);
        const auto separators = static_cast<std::uint32_t>(_mm_movemask_epi8(separator));
        const auto digits = static_cast<std::uint32_t>(_mm_movemask_epi8(is_digit));
        const auto minuses =
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, minus)));
        classes.separators |= static_cast<std::uint64_t>(separators) << (16 * k);
        classes.digits |= static_cast<std::uint64_t>(digits) << (16 * k);
        const auto points =
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, point)));
        classes.minus |= static_cast<std::uint64_t>(minuses) << (16 * k);
        classes.points |= static_cast<std::uint64_t>(points) << (16 * k);
    }
    return classes;
#else
    byte_classes classes{0, 0, 0, 0};
    for (int i = 0; i < 64; ++i) {
        classes.separators |= static_cast<std::uint64_t>(is_space(p[i])) << i;
        classes.digits |= static_cast<std::uint64_t>(is_digit(p[i])) << i;
        classes.minus |= static_cast<std::uint64_t>(p[i] == '-') << i;
        classes.points |= static_cast<std::uint64_t>(p[i] == '.') << i;
    }
    return classes;
#endif
}
