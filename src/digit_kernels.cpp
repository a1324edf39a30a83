#include "digit_kernels.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>

#include "separator_scan.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && \
    !defined(RASTMILL_SCALAR_SCAN)
#define RASTMILL_X86_KERNELS 1
#include <immintrin.h>

#include <cstring>
#endif

#ifdef RASTMILL_X86_KERNELS

namespace {

// For each byte of set bits, the shuffle that gathers the bytes at those bits to the front.
struct gather_table {
    alignas(16) unsigned char indices[256][16];
};

constexpr gather_table make_gather_table() {
    gather_table table{};
    for (int mask = 0; mask < 256; ++mask) {
        int at = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if ((mask >> bit) & 1) table.indices[mask][at++] = static_cast<unsigned char>(bit);
        }
        for (; at < 16; ++at)
            table.indices[mask][at] = 0x80;  // a zero byte
    }
    return table;
}

constexpr gather_table GATHER = make_gather_table();

// The value of a token starting at each of the 16 bytes at p, as if one did: the digit, or ten
// times it plus the next byte's digit where that is one.
[[gnu::target("ssse3")]] inline __m128i values_at(const char* p) {
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i d = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), zero);
    const __m128i e = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1)), zero);
    const __m128i two = _mm_cmpeq_epi8(_mm_min_epu8(e, _mm_set1_epi8(9)), e);  // next is a digit
    const __m128i d2 = _mm_add_epi8(d, d);
    const __m128i d8 = _mm_add_epi8(_mm_add_epi8(d2, d2), _mm_add_epi8(d2, d2));
    const __m128i both = _mm_add_epi8(_mm_add_epi8(d8, d2), e);
    return _mm_or_si128(_mm_and_si128(two, both), _mm_andnot_si128(two, d));
}

// The bytes of values at the set bits of mask (8 of them), gathered to out.
[[gnu::target("ssse3")]] inline unsigned char* gather(__m128i values, unsigned mask,
                                                      unsigned char* out) {
    const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(GATHER.indices[mask]));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(values, order));
    return out + count_bits(mask);
}

// A whole block at once where the CPU compresses bytes by a mask (AVX-512 VBMI2): the value at
// every byte, then those at the starts packed together.
[[gnu::target("avx512bw,avx512vbmi2")]] void pack_short_digits_512(const char* base,
                                                                   const std::uint64_t* starting,
                                                                   std::size_t blocks,
                                                                   unsigned char* out) {
    const __m512i zero = _mm512_set1_epi8('0');
    const __m512i nine = _mm512_set1_epi8(9);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint64_t starts = starting[b];
        const char* block = base + 64 * b;
        const __m512i d = _mm512_sub_epi8(_mm512_loadu_si512(block), zero);
        const __m512i e = _mm512_sub_epi8(_mm512_loadu_si512(block + 1), zero);
        const __mmask64 two = _mm512_cmple_epu8_mask(e, nine);  // the next byte is a digit
        const __m512i d2 = _mm512_add_epi8(d, d);
        const __m512i d8 = _mm512_add_epi8(_mm512_add_epi8(d2, d2), _mm512_add_epi8(d2, d2));
        const __m512i values =
            _mm512_mask_blend_epi8(two, d, _mm512_add_epi8(_mm512_add_epi8(d8, d2), e));
        const int count = count_bits(starts);
        const __mmask64 kept = count == 64 ? ~__mmask64(0) : (__mmask64(1) << count) - 1;
        _mm512_mask_storeu_epi8(out, kept, _mm512_maskz_compress_epi8(starts, values));
        out += count;
    }
}

[[gnu::target("ssse3")]] void pack_short_digits_ssse3(const char* base,
                                                      const std::uint64_t* starting,
                                                      std::size_t blocks, unsigned char* out) {
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint64_t starts = starting[b];
        if (starts == 0) continue;
        const char* block = base + 64 * b;
        for (std::ptrdiff_t q = 0; q < 4; ++q) {
            const unsigned half = static_cast<unsigned>(starts >> (16 * q)) & 0xFFFF;
            if (half == 0) continue;
            const __m128i values = values_at(block + 16 * q);
            out = gather(values, half & 0xFF, out);
            out = gather(_mm_srli_si128(values, 8), half >> 8, out);
        }
    }
}

inline std::int64_t load_word(const char* p) {
    std::int64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The eight bytes before each of four ends, one 64-bit lane each: straight into the lanes, as a
// store of all four and a wider load back would stall.
[[gnu::target("avx2")]] inline __m256i load_four_ends(const char* base, const std::uint32_t* ends) {
    return _mm256_set_epi64x(load_word(base + ends[3] - 8), load_word(base + ends[2] - 8),
                             load_word(base + ends[1] - 8), load_word(base + ends[0] - 8));
}

// The bytes of each lane's token: those after the last white space in it (every byte below '-',
// where tokens hold only digits, points and minus signs), all eight where the byte before the
// lane is white space; none where the token is longer than eight bytes.
[[gnu::target("avx2")]] inline __m256i token_bytes(const char* base, const std::uint32_t* ends,
                                                   __m256i word) {
    const __m256i ones = _mm256_set1_epi64x(-1);
    const __m256i minus = _mm256_set1_epi8('-');
    __m256i before = _mm256_cmpgt_epi8(minus, word);
    before = _mm256_or_si256(before, _mm256_srli_epi64(before, 8));
    before = _mm256_or_si256(before, _mm256_srli_epi64(before, 16));
    before = _mm256_or_si256(before, _mm256_srli_epi64(before, 32));
    const __m256i token = _mm256_andnot_si256(before, ones);
    const auto byte = [&](int i) {
        return static_cast<std::int64_t>(static_cast<unsigned char>(*(base + ends[i] - 9)));
    };
    const __m256i outside = _mm256_set_epi64x(byte(3), byte(2), byte(1), byte(0));
    const __m256i longer = _mm256_andnot_si256(_mm256_cmpgt_epi64(_mm256_set1_epi64x('-'), outside),
                                               _mm256_cmpeq_epi64(token, ones));
    return _mm256_andnot_si256(longer, token);
}

// The eight digit values (0 to 9) of each 64-bit lane, the most significant in its lowest byte, as
// the lane's integer: byte pairs 10 a + b, then 16-bit pairs 100 a + b, then the halves.
[[gnu::target("avx2")]] inline __m256i lane_values(__m256i digits) {
    const __m256i pairs = _mm256_maddubs_epi16(digits, _mm256_set1_epi16(0x010A));
    const __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x10064));
    return _mm256_add_epi64(_mm256_mul_epu32(quads, _mm256_set1_epi64x(10000)),
                            _mm256_srli_epi64(quads, 32));
}

[[gnu::target("avx2")]] std::size_t convert_short_integers_avx2(const char* base,
                                                                const std::uint32_t* ends,
                                                                std::size_t count,
                                                                std::int32_t* out) {
    const __m256i zeros = _mm256_set1_epi8('0');
    const __m256i minus = _mm256_set1_epi8('-');
    const __m256i lanes = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const __m256i word = load_four_ends(base, ends + k);
        const __m256i token = token_bytes(base, ends + k, word);
        const __m256i lead = _mm256_andnot_si256(_mm256_slli_epi64(token, 8), token);
        const __m256i negative =
            _mm256_cmpeq_epi64(_mm256_and_si256(word, lead), _mm256_and_si256(minus, lead));
        const __m256i kept = _mm256_andnot_si256(_mm256_and_si256(negative, lead), token);
        // A token longer than eight bytes, or a lone minus.
        const __m256i odd = _mm256_cmpeq_epi64(kept, _mm256_setzero_si256());
        if (!_mm256_testz_si256(odd, odd)) break;
        const __m256i digits = _mm256_and_si256(_mm256_sub_epi8(word, zeros), kept);
        const __m256i value = lane_values(digits);
        const __m256i signed_value = _mm256_sub_epi64(_mm256_xor_si256(value, negative), negative);
        const __m256i packed = _mm256_permutevar8x32_epi32(signed_value, lanes);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm256_castsi256_si128(packed));
    }
    return k;
}

// Masked forms with every lane, as GCC 12's plain ones warn of an uninitialised vector.
constexpr __mmask8 ALL_LANES = 0xFF;

// lane_values for eight lanes.
[[gnu::target("avx512f,avx512bw")]] inline __m512i lane_values(__m512i digits) {
    const __m512i pairs = _mm512_maddubs_epi16(digits, _mm512_set1_epi16(0x010A));
    const __m512i quads = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x10064));
    return _mm512_add_epi64(_mm512_maskz_mul_epu32(ALL_LANES, quads, _mm512_set1_epi64(10000)),
                            _mm512_maskz_srli_epi64(ALL_LANES, quads, 32));
}

// load_four_ends for eight ends (a gather measured slower).
[[gnu::target("avx512f")]] inline __m512i load_eight_ends(const char* base,
                                                          const std::uint32_t* ends) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i low =
        _mm512_mask_inserti64x4(zero, ALL_LANES, zero, load_four_ends(base, ends), 0);
    return _mm512_mask_inserti64x4(zero, ALL_LANES, low, load_four_ends(base, ends + 4), 1);
}

// Eight tokens a vector where the CPU has AVX-512, each token's bytes found from the count of
// bits above the last white space in its lane; a last four fills the upper lanes with its first
// token again (not stored).
[[gnu::target("avx512f,avx512bw,avx512cd,avx512vl")]] std::size_t convert_short_integers_512(
    const char* base, const std::uint32_t* ends, std::size_t count, std::int32_t* out) {
    const __m512i zeros = _mm512_set1_epi8('0');
    const __m512i minus = _mm512_set1_epi8('-');
    const __m512i ones = _mm512_set1_epi64(-1);
    const __m512i eights = _mm512_set1_epi64(8);
    const __m512i sixty_four = _mm512_set1_epi64(64);
    std::size_t k = 0;
    while (k + 4 <= count) {
        const __mmask8 lanes = k + 8 <= count ? 0xFF : 0x0F;
        std::uint32_t repeated[8];
        const std::uint32_t* at = ends + k;
        if (lanes != 0xFF) {
            for (std::size_t i = 0; i < 8; ++i)
                repeated[i] = ends[k + (i < 4 ? i : 0)];
            at = repeated;
        }
        const __m512i word = load_eight_ends(base, at);
        // 8 bits a byte of the token: every byte below '-' is white space here.
        const __m512i bits =
            _mm512_lzcnt_epi64(_mm512_movm_epi8(_mm512_cmplt_epi8_mask(word, minus)));
        const __mmask64 token = _mm512_movepi8_mask(
            _mm512_maskz_sllv_epi64(ALL_LANES, ones, _mm512_sub_epi64(sixty_four, bits)));
        const __mmask64 sign = _mm512_mask_cmpeq_epi8_mask(token, word, minus);
        const __mmask8 negative = _mm512_test_epi64_mask(_mm512_movm_epi8(sign), ones);
        // A lone minus; a lane of eight token bytes is longer where the byte before is no white
        // space, which is rare enough to look at alone.
        auto odd = static_cast<unsigned>(negative & _mm512_cmpeq_epi64_mask(bits, eights));
        unsigned full = _mm512_cmpeq_epi64_mask(bits, sixty_four) & lanes;
        for (; full != 0; full &= full - 1) {
            const auto lane = static_cast<unsigned>(std::countr_zero(full));
            if (static_cast<unsigned char>(*(base + ends[k + lane] - 9)) >= '-') odd |= 1u << lane;
        }
        const __m512i digits = _mm512_maskz_sub_epi8(token & ~sign, word, zeros);
        const __m512i value = lane_values(digits);
        const __m256i values = _mm512_maskz_cvtepi64_epi32(
            ALL_LANES, _mm512_mask_sub_epi64(value, negative, _mm512_setzero_si512(), value));
        odd &= lanes;
        if (odd != 0) {
            // The first four may still be taken.
            if ((odd & 0x0F) == 0) {
                _mm256_mask_storeu_epi32(out + k, 0x0F, values);
                k += 4;
            }
            break;
        }
        _mm256_mask_storeu_epi32(out + k, lanes, values);
        k += lanes == 0xFF ? 8 : 4;
    }
    return k;
}

// Sixteen byte offsets as 32-bit ones, plus offset.
[[gnu::target("avx512f")]] inline __m512i widened(__m128i sixteen, __m512i offset) {
    return _mm512_add_epi32(_mm512_maskz_cvtepu8_epi32(0xFFFF, sixteen), offset);
}

// The offsets of a block's set bits as bytes, compressed by the mask, then widened sixteen at a
// time.
[[gnu::target("avx512f,avx512bw,avx512vbmi2,popcnt")]] std::size_t flatten_bits_512(
    const std::uint64_t* bits, std::size_t blocks, std::uint32_t* offsets) {
    const __m512i bytes = _mm512_set_epi8(
        63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41,
        40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
        17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    std::size_t count = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint64_t set = bits[b];
        const __m512i packed = _mm512_maskz_compress_epi8(set, bytes);
        const __m512i offset = _mm512_set1_epi32(static_cast<int>(64 * b));
        std::uint32_t* at = offsets + count;
        _mm512_storeu_si512(at, widened(_mm512_maskz_extracti32x4_epi32(0xF, packed, 0), offset));
        const auto total = static_cast<std::size_t>(__builtin_popcountll(set));
        if (total > 16) {
            _mm512_storeu_si512(at + 16,
                                widened(_mm512_maskz_extracti32x4_epi32(0xF, packed, 1), offset));
            if (total > 32) {
                _mm512_storeu_si512(
                    at + 32, widened(_mm512_maskz_extracti32x4_epi32(0xF, packed, 2), offset));
                _mm512_storeu_si512(
                    at + 48, widened(_mm512_maskz_extracti32x4_epi32(0xF, packed, 3), offset));
            }
        }
        count += total;
    }
    return count;
}

// A block's classes from one 64-byte load, straight into mask registers.
[[gnu::target("avx512f,avx512bw")]] void classify_blocks_512(const char* base, std::size_t blocks,
                                                             byte_classes* classes) {
    const __m512i space = _mm512_set1_epi8(' ');
    const __m512i tab = _mm512_set1_epi8('\t');
    const __m512i control_span = _mm512_set1_epi8('\r' - '\t');
    const __m512i zero = _mm512_set1_epi8('0');
    const __m512i nine = _mm512_set1_epi8(9);
    const __m512i minus = _mm512_set1_epi8('-');
    const __m512i point = _mm512_set1_epi8('.');
    for (std::size_t b = 0; b < blocks; ++b) {
        const __m512i bytes = _mm512_loadu_si512(base + 64 * b);
        classes[b] = {
            _mm512_cmpeq_epi8_mask(bytes, space) |
                _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, tab), control_span),
            _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, zero), nine),
            _mm512_cmpeq_epi8_mask(bytes, minus),
            _mm512_cmpeq_epi8_mask(bytes, point),
        };
    }
}

// The tokens of four lanes: their digits read as integers, and which have a point and a minus.
struct four_decimals {
    __m128i magnitudes;  // 32-bit
    __m256i pointed;     // 64-bit lanes, all ones where there is a point
    __m256i negative;    // 64-bit lanes
};

constexpr std::int32_t POWERS_OF_TEN[] = {1, 10, 100, 1000, 10000, 100000, 1000000};

// False where a lane holds another shape.
[[gnu::target("avx2")]] inline bool read_four_decimals(const char* base, const std::uint32_t* ends,
                                                       int places, four_decimals& got) {
    const __m256i ones = _mm256_set1_epi64x(-1);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i minus = _mm256_set1_epi8('-');
    const __m256i word = load_four_ends(base, ends);
    const __m256i token = token_bytes(base, ends, word);
    const __m256i lead = _mm256_andnot_si256(_mm256_slli_epi64(token, 8), token);
    const __m256i negative =
        _mm256_cmpeq_epi64(_mm256_and_si256(word, lead), _mm256_and_si256(minus, lead));
    const __m256i body = _mm256_andnot_si256(_mm256_and_si256(negative, lead), token);
    // The point's byte, 7 - places from the lowest (".5" reads as 0.5 here, as everywhere).
    const std::int64_t at = std::int64_t(0xFF) << (8 * (7 - places));
    const __m256i expected = _mm256_set1_epi64x(at);
    const __m256i points = _mm256_and_si256(_mm256_cmpeq_epi8(word, _mm256_set1_epi8('.')), body);
    const __m256i pointed = _mm256_cmpeq_epi64(points, expected);
    const __m256i plain = _mm256_cmpeq_epi64(points, zero);
    const __m256i odd = _mm256_or_si256(_mm256_cmpeq_epi64(body, zero),
                                        _mm256_andnot_si256(_mm256_or_si256(pointed, plain), ones));
    if (!_mm256_testz_si256(odd, odd)) return false;
    // The point's byte taken out: the digits below it move up one byte.
    const __m256i fraction =
        _mm256_set1_epi64x(static_cast<std::int64_t>(~std::uint64_t(0) << (8 * (8 - places))));
    const __m256i integer =
        _mm256_set1_epi64x(static_cast<std::int64_t>((std::uint64_t(1) << (8 * (7 - places))) - 1));
    const __m256i closed = _mm256_or_si256(_mm256_and_si256(word, fraction),
                                           _mm256_slli_epi64(_mm256_and_si256(word, integer), 8));
    const __m256i closed_body = _mm256_or_si256(
        _mm256_and_si256(body, fraction), _mm256_slli_epi64(_mm256_and_si256(body, integer), 8));
    const __m256i digits_word = _mm256_blendv_epi8(word, closed, pointed);
    const __m256i kept = _mm256_blendv_epi8(body, closed_body, pointed);
    const __m256i digits =
        _mm256_and_si256(_mm256_sub_epi8(digits_word, _mm256_set1_epi8('0')), kept);
    const __m256i value = lane_values(digits);
    const __m256i lanes = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    got.magnitudes = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(value, lanes));
    got.pointed = pointed;
    got.negative = negative;
    return true;
}

// 64-bit lane masks as 32-bit ones.
[[gnu::target("avx2")]] inline __m128i narrow_masks(__m256i masks) {
    const __m256i lanes = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(masks, lanes));
}

[[gnu::target("avx2")]] std::size_t convert_fixed_floats_avx2(const char* base,
                                                              const std::uint32_t* ends,
                                                              std::size_t count, int places,
                                                              float* out) {
    const __m128 scale = _mm_set1_ps(static_cast<float>(POWERS_OF_TEN[places]));
    const __m128 one = _mm_set1_ps(1.0F);
    const __m128 sign = _mm_set1_ps(-0.0F);
    std::size_t k = 0;
    for (four_decimals got; k + 4 <= count && read_four_decimals(base, ends + k, places, got);
         k += 4) {
        const __m128 divisor =
            _mm_blendv_ps(one, scale, _mm_castsi128_ps(narrow_masks(got.pointed)));
        const __m128 value = _mm_div_ps(_mm_cvtepi32_ps(got.magnitudes), divisor);
        const __m128 negated =
            _mm_xor_ps(value, _mm_and_ps(sign, _mm_castsi128_ps(narrow_masks(got.negative))));
        _mm_storeu_ps(out + k, negated);
    }
    return k;
}

[[gnu::target("avx2")]] std::size_t convert_fixed_doubles_avx2(const char* base,
                                                               const std::uint32_t* ends,
                                                               std::size_t count, int places,
                                                               double* out) {
    const __m256d scale = _mm256_set1_pd(static_cast<double>(POWERS_OF_TEN[places]));
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d sign = _mm256_set1_pd(-0.0);
    std::size_t k = 0;
    for (four_decimals got; k + 4 <= count && read_four_decimals(base, ends + k, places, got);
         k += 4) {
        const __m256d divisor = _mm256_blendv_pd(one, scale, _mm256_castsi256_pd(got.pointed));
        const __m256d value = _mm256_div_pd(_mm256_cvtepi32_pd(got.magnitudes), divisor);
        _mm256_storeu_pd(
            out + k, _mm256_xor_pd(value, _mm256_and_pd(sign, _mm256_castsi256_pd(got.negative))));
    }
    return k;
}

// Eight tokens of read_four_decimals' shape where the CPU has AVX-512: the same bytes taken, the
// same integers, and the lanes of another shape (bit i for token i).
struct eight_fixed {
    __m256i magnitudes;  // 32-bit
    __mmask8 pointed;
    __mmask8 negative;
};

[[gnu::target("avx512f,avx512bw,avx512cd,avx512vl,avx512dq")]] inline unsigned
read_eight_fixed_points(const char* base, const std::uint32_t* ends, int places, eight_fixed& got) {
    const __m512i ones = _mm512_set1_epi64(-1);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i minus = _mm512_set1_epi8('-');
    const __m512i sixty_four = _mm512_set1_epi64(64);
    const __m512i word = load_eight_ends(base, ends);
    // The token's bytes: those above the last white space in the lane (every byte below '-').
    const __m512i bits = _mm512_lzcnt_epi64(_mm512_movm_epi8(_mm512_cmplt_epi8_mask(word, minus)));
    const __mmask64 token = _mm512_movepi8_mask(
        _mm512_maskz_sllv_epi64(ALL_LANES, ones, _mm512_sub_epi64(sixty_four, bits)));
    // Its first byte, in each lane alone.
    const __mmask64 lead = token & ~((token << 1) & 0xFEFEFEFEFEFEFEFE);
    const __mmask64 sign = lead & _mm512_cmpeq_epi8_mask(word, minus);
    const __mmask64 body = token & ~sign;
    const __m512i body_bytes = _mm512_movm_epi8(body);
    unsigned odd = _mm512_cmpeq_epi64_mask(body_bytes, zero);
    // A lane of eight token bytes holds a longer token where the byte before it is no white space.
    for (unsigned full = _mm512_cmpeq_epi64_mask(bits, sixty_four); full != 0; full &= full - 1) {
        const auto lane = static_cast<unsigned>(std::countr_zero(full));
        if (static_cast<unsigned char>(*(base + ends[lane] - 9)) >= '-') odd |= 1u << lane;
    }
    // The point's byte, 7 - places from the lowest, or none.
    const __m512i points =
        _mm512_movm_epi8(body & _mm512_cmpeq_epi8_mask(word, _mm512_set1_epi8('.')));
    const __mmask8 pointed = _mm512_cmpeq_epi64_mask(
        points,
        _mm512_set1_epi64(static_cast<std::int64_t>(std::int64_t(0xFF) << (8 * (7 - places)))));
    odd |= static_cast<unsigned>(~(pointed | _mm512_cmpeq_epi64_mask(points, zero))) & 0xFF;
    // The point's byte taken out: the digits below it move up one byte. Lanes of another shape
    // give values of no use, not stored.
    const __m512i fraction =
        _mm512_set1_epi64(static_cast<std::int64_t>(~std::uint64_t(0) << (8 * (8 - places))));
    const __m512i integer =
        _mm512_set1_epi64(static_cast<std::int64_t>((std::uint64_t(1) << (8 * (7 - places))) - 1));
    const __m512i closed =
        _mm512_or_si512(_mm512_and_si512(word, fraction),
                        _mm512_maskz_slli_epi64(ALL_LANES, _mm512_and_si512(word, integer), 8));
    const __m512i closed_body = _mm512_or_si512(
        _mm512_and_si512(body_bytes, fraction),
        _mm512_maskz_slli_epi64(ALL_LANES, _mm512_and_si512(body_bytes, integer), 8));
    const __m512i digits_word = _mm512_mask_blend_epi64(pointed, word, closed);
    const __m512i kept = _mm512_mask_blend_epi64(pointed, body_bytes, closed_body);
    const __m512i digits =
        _mm512_and_si512(_mm512_sub_epi8(digits_word, _mm512_set1_epi8('0')), kept);
    const __m512i value = lane_values(digits);
    got.magnitudes = _mm512_maskz_cvtepi64_epi32(ALL_LANES, value);
    got.pointed = pointed;
    got.negative = _mm512_test_epi64_mask(_mm512_movm_epi8(sign), ones);
    return odd;
}

// The values of the lanes of got (read with places places) into out, as the four-lane kernels
// compute them.
[[gnu::target("avx512f,avx512bw,avx512cd,avx512vl,avx512dq")]] inline void store_fixed(
    const eight_fixed& got, __mmask8 lanes, int places, float* out) {
    const __m256 scale = _mm256_set1_ps(static_cast<float>(POWERS_OF_TEN[places]));
    const __m256 divisor = _mm256_mask_blend_ps(got.pointed, _mm256_set1_ps(1.0F), scale);
    const __m256 value = _mm256_div_ps(_mm256_cvtepi32_ps(got.magnitudes), divisor);
    const __m256 negated =
        _mm256_mask_blend_ps(got.negative, value, _mm256_xor_ps(value, _mm256_set1_ps(-0.0F)));
    _mm256_mask_storeu_ps(out, lanes, negated);
}

[[gnu::target("avx512f,avx512bw,avx512cd,avx512vl,avx512dq")]] inline void store_fixed(
    const eight_fixed& got, __mmask8 lanes, int places, double* out) {
    const __m512d scale = _mm512_set1_pd(static_cast<double>(POWERS_OF_TEN[places]));
    const __m512d divisor = _mm512_mask_blend_pd(got.pointed, _mm512_set1_pd(1.0), scale);
    const __m512d value =
        _mm512_div_pd(_mm512_maskz_cvtepi32_pd(ALL_LANES, got.magnitudes), divisor);
    const __m512d negated = _mm512_mask_blend_pd(
        got.negative, value, _mm512_maskz_xor_pd(ALL_LANES, value, _mm512_set1_pd(-0.0)));
    _mm512_mask_storeu_pd(out, lanes, negated);
}

// The fixed-point kernels with eight tokens a step: a last four fills the upper lanes with its
// first token again (not stored); where a lane holds another shape, the first four are still taken
// where they are whole.
template <typename T>
[[gnu::target("avx512f,avx512bw,avx512cd,avx512vl,avx512dq")]] std::size_t convert_fixed_512(
    const char* base, const std::uint32_t* ends, std::size_t count, int places, T* out) {
    std::size_t k = 0;
    while (k + 4 <= count) {
        const __mmask8 lanes = k + 8 <= count ? 0xFF : 0x0F;
        std::uint32_t repeated[8];
        const std::uint32_t* at = ends + k;
        if (lanes != 0xFF) {
            for (std::size_t i = 0; i < 8; ++i)
                repeated[i] = ends[k + (i < 4 ? i : 0)];
            at = repeated;
        }
        eight_fixed got{};
        const unsigned odd = read_eight_fixed_points(base, at, places, got) & lanes;
        if (odd != 0) {
            if ((odd & 0x0F) == 0) {
                store_fixed(got, 0x0F, places, out + k);
                k += 4;
            }
            break;
        }
        store_fixed(got, lanes, places, out + k);
        k += lanes == 0xFF ? 8 : 4;
    }
    return k;
}

[[gnu::target("avx512f,avx512bw,avx512cd,avx512vl,avx512dq")]] std::size_t convert_fixed_floats_512(
    const char* base, const std::uint32_t* ends, std::size_t count, int places, float* out) {
    return convert_fixed_512(base, ends, count, places, out);
}

[[gnu::target("avx512f,avx512bw,avx512cd,avx512vl,avx512dq")]] std::size_t
convert_fixed_doubles_512(const char* base, const std::uint32_t* ends, std::size_t count,
                          int places, double* out) {
    return convert_fixed_512(base, ends, count, places, out);
}

// Decimals of up to 19 digits, as GDAL writes floats ("1520.2239990234375"): two tokens a
// vector, one in each 256-bit half, each from the 32 bytes that end at its end.
#define RASTMILL_DECIMAL_TARGET "avx512f,avx512bw,avx512vl,avx512dq"
// GCC's AVX-512 intrinsics start their results from an undefined vector, which it then warns of.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The lowest bits of a half up to and including its point's bit; none where it has no point.
inline std::uint64_t at_or_before(std::uint32_t point) {
    return point == 0 ? 0 : (std::uint64_t(point) << 1) - 1;
}

// The top length bits of a half (length 1 to 32).
inline std::uint64_t top_bits(std::uint32_t length) {
    return (~std::uint64_t(0) << (32 - length)) & 0xFFFFFFFF;
}

// Two tokens read: per half, its digits (the point taken out) as four 8-digit values, the last
// eight in the highest lane; and for each of the two (bit 0 the low half's) the digits after its
// point, whether it is negative and whether it has another shape.
[[gnu::target(RASTMILL_DECIMAL_TARGET)]] inline __m512i load_two_halves(const char* low,
                                                                        const char* high) {
    return _mm512_inserti64x4(
        _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(low))),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(high)), 1);
}

struct two_decimals {
    __m512i eights;
    std::uint32_t places[2];
    unsigned negative;
    unsigned odd;
};

[[gnu::target(RASTMILL_DECIMAL_TARGET)]] inline two_decimals read_two_decimals(
    const char* base, const std::uint32_t* ends) {
    const char* end0 = base + ends[0];
    const char* end1 = base + ends[1];
    const __m512i word = load_two_halves(end0 - 32, end1 - 32);
    // Each byte's predecessor: what the bytes up to the point become once the point is out.
    const __m512i before_word = load_two_halves(end0 - 33, end1 - 33);
    // A token starts after the last white space (every byte below '-' in such a stride); a longer
    // one is seen as 32 bytes of digits, more than 19: another shape.
    const std::uint64_t spaces =
        _cvtmask64_u64(_mm512_cmplt_epu8_mask(word, _mm512_set1_epi8('-')));
    const auto length0 =
        static_cast<std::uint32_t>(std::countl_zero(static_cast<std::uint32_t>(spaces)));
    const auto length1 =
        static_cast<std::uint32_t>(std::countl_zero(static_cast<std::uint32_t>(spaces >> 32)));
    const std::uint64_t token = top_bits(length0) | (top_bits(length1) << 32);
    const std::uint64_t lead =
        (std::uint64_t(1) << (32 - length0)) | (std::uint64_t(1) << (64 - length1));
    const std::uint64_t points =
        _cvtmask64_u64(_mm512_mask_cmpeq_epi8_mask(token, word, _mm512_set1_epi8('.')));
    const std::uint64_t minus =
        _cvtmask64_u64(_mm512_mask_cmpeq_epi8_mask(lead, word, _mm512_set1_epi8('-')));
    const auto point0 = static_cast<std::uint32_t>(points);
    const auto point1 = static_cast<std::uint32_t>(points >> 32);
    const std::uint64_t moved = at_or_before(point0) | (at_or_before(point1) << 32);
    const std::uint64_t digits = token & ~points & ~minus;
    // After the point is out, the digits stand at the top of each half.
    const std::uint64_t kept = (digits & ~moved) | ((digits & moved) << 1);
    const __m512i closed = _mm512_mask_blend_epi8(moved, word, before_word);
    const __m512i values = _mm512_maskz_sub_epi8(kept, closed, _mm512_set1_epi8('0'));
    // Odd: a kept byte that is no digit, or more than 19 digits.
    const std::uint64_t wrong =
        _cvtmask64_u64(_mm512_mask_cmpgt_epu8_mask(kept, values, _mm512_set1_epi8(9))) |
        (kept & 0x00001FFF00001FFF);
    const auto odd_half = [](std::uint32_t point, std::uint32_t kept_half,
                             std::uint32_t wrong_half) {
        return (point & (point - 1)) != 0 || kept_half == 0 || wrong_half != 0 ? 1U : 0U;
    };
    two_decimals got;
    got.odd =
        odd_half(point0, static_cast<std::uint32_t>(kept), static_cast<std::uint32_t>(wrong)) |
        (odd_half(point1, static_cast<std::uint32_t>(kept >> 32),
                  static_cast<std::uint32_t>(wrong >> 32))
         << 1);
    got.places[0] = point0 == 0 ? 0 : 31 - static_cast<std::uint32_t>(std::countr_zero(point0));
    got.places[1] = point1 == 0 ? 0 : 31 - static_cast<std::uint32_t>(std::countr_zero(point1));
    got.negative = (minus & 0xFFFFFFFF) != 0 ? 1U : 0U;
    got.negative |= (minus >> 32) != 0 ? 2U : 0U;
    got.eights = lane_values(values);
    return got;
}

// Eight tokens read: their digits as integers (64-bit lanes), the digits after their points
// (32-bit lanes), and which are negative and which have another shape.
struct eight_decimals {
    __m512i mantissas;
    __m256i places;
    __mmask8 negative;
    __mmask8 odd;
};

[[gnu::target(RASTMILL_DECIMAL_TARGET)]] inline eight_decimals read_eight_decimals(
    const char* base, const std::uint32_t* ends) {
    two_decimals two[4];
#pragma GCC unroll 4
    for (std::size_t i = 0; i < 4; ++i)
        two[i] = read_two_decimals(base, ends + 2 * i);
    // At most 19 digits: the first 8-digit value of a half is 0, the second below 1000.
    const __m512i upper = _mm512_setr_epi64(1, 5, 9, 13, 2, 6, 10, 14);
    const __m512i lower = _mm512_setr_epi64(3, 7, 11, 15, 3, 7, 11, 15);
    const __m512i upper01 = _mm512_permutex2var_epi64(two[0].eights, upper, two[1].eights);
    const __m512i upper23 = _mm512_permutex2var_epi64(two[2].eights, upper, two[3].eights);
    const __m512i lower01 = _mm512_permutex2var_epi64(two[0].eights, lower, two[1].eights);
    const __m512i lower23 = _mm512_permutex2var_epi64(two[2].eights, lower, two[3].eights);
    const __m512i high = _mm512_shuffle_i64x2(upper01, upper23, 0x44);
    const __m512i middle = _mm512_shuffle_i64x2(upper01, upper23, 0xEE);
    const __m512i low = _mm512_shuffle_i64x2(lower01, lower23, 0x44);
    eight_decimals got;
    got.mantissas = _mm512_add_epi64(
        _mm512_add_epi64(_mm512_mullo_epi64(high, _mm512_set1_epi64(10000000000000000)),
                         _mm512_mul_epu32(middle, _mm512_set1_epi64(100000000))),
        low);
    got.places =
        _mm256_setr_epi32(static_cast<int>(two[0].places[0]), static_cast<int>(two[0].places[1]),
                          static_cast<int>(two[1].places[0]), static_cast<int>(two[1].places[1]),
                          static_cast<int>(two[2].places[0]), static_cast<int>(two[2].places[1]),
                          static_cast<int>(two[3].places[0]), static_cast<int>(two[3].places[1]));
    unsigned negative = 0;
    unsigned odd = 0;
    for (unsigned i = 0; i < 4; ++i) {
        negative |= two[i].negative << (2 * i);
        odd |= two[i].odd << (2 * i);
    }
    got.negative = static_cast<__mmask8>(negative);
    got.odd = static_cast<__mmask8>(odd);
    return got;
}

// 10^places for places 0 to 15, as doubles (lanes of more places: any value).
[[gnu::target(RASTMILL_DECIMAL_TARGET)]] inline __m512d double_powers(__m256i places) {
    const __m512d low = _mm512_setr_pd(1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7);
    const __m512d high = _mm512_setr_pd(1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15);
    return _mm512_permutex2var_pd(low, _mm512_cvtepu32_epi64(places), high);
}

// The indices, from first on, of the set bits of odd into left; how many there are.
inline std::size_t list_left(unsigned odd, std::size_t first, std::uint32_t* left) {
    std::size_t n = 0;
    for (; odd != 0; odd &= odd - 1)
        left[n++] =
            static_cast<std::uint32_t>(first + static_cast<std::size_t>(std::countr_zero(odd)));
    return n;
}

// Each value as scan_cell_real rounds it: mantissas of up to 2^24 with up to 10 places by one
// float division; others in double arithmetic, kept where they do not land next to a midpoint
// between two floats.
[[gnu::target(RASTMILL_DECIMAL_TARGET)]] std::size_t convert_decimal_floats_512(
    const char* base, const std::uint32_t* ends, std::size_t count, float* out,
    std::uint32_t* left) {
    const __m256 float_low = _mm256_setr_ps(1e0F, 1e1F, 1e2F, 1e3F, 1e4F, 1e5F, 1e6F, 1e7F);
    const __m256 float_high = _mm256_setr_ps(1e8F, 1e9F, 1e10F, 1e0F, 1e0F, 1e0F, 1e0F, 1e0F);
    const __m512i midpoint = _mm512_set1_epi64((std::int64_t(1) << 28) - 8);
    std::size_t n = 0;
    for (std::size_t k = 0; k + 8 <= count; k += 8) {
        const eight_decimals got = read_eight_decimals(base, ends + k);
        const __mmask8 single =
            _mm512_cmple_epu64_mask(got.mantissas, _mm512_set1_epi64(std::int64_t(1) << 24)) &
            _mm256_cmple_epu32_mask(got.places, _mm256_set1_epi32(10));
        const __m256 narrow =
            _mm256_div_ps(_mm512_cvtepu64_ps(got.mantissas),
                          _mm256_permutex2var_ps(float_low, got.places, float_high));
        const __m512d wide =
            _mm512_div_pd(_mm512_cvtepu64_pd(got.mantissas), double_powers(got.places));
        const __m512i beyond = _mm512_and_si512(_mm512_castpd_si512(wide),
                                                _mm512_set1_epi64((std::int64_t(1) << 29) - 1));
        const __mmask8 clear =
            _mm512_cmpgt_epu64_mask(_mm512_sub_epi64(beyond, midpoint), _mm512_set1_epi64(16)) &
            _mm256_cmple_epu32_mask(got.places, _mm256_set1_epi32(15));
        const __m256 value = _mm256_mask_blend_ps(single, _mm512_cvtpd_ps(wide), narrow);
        _mm256_storeu_ps(out + k,
                         _mm256_mask_xor_ps(value, got.negative, value, _mm256_set1_ps(-0.0F)));
        const unsigned odd = got.odd | (~single & ~clear & 0xFF);
        if (odd != 0) n += list_left(odd, k, left + n);
    }
    return n;
}

// Each value as scan_cell_real rounds it where that is exact: mantissas of up to 2^53 by one
// division (up to 15 places here).
[[gnu::target(RASTMILL_DECIMAL_TARGET)]] std::size_t convert_decimal_doubles_512(
    const char* base, const std::uint32_t* ends, std::size_t count, double* out,
    std::uint32_t* left) {
    std::size_t n = 0;
    for (std::size_t k = 0; k + 8 <= count; k += 8) {
        const eight_decimals got = read_eight_decimals(base, ends + k);
        const __mmask8 exact =
            _mm512_cmple_epu64_mask(got.mantissas, _mm512_set1_epi64(std::int64_t(1) << 53)) &
            _mm256_cmple_epu32_mask(got.places, _mm256_set1_epi32(15));
        const __m512d value =
            _mm512_div_pd(_mm512_cvtepu64_pd(got.mantissas), double_powers(got.places));
        _mm512_storeu_pd(out + k,
                         _mm512_mask_xor_pd(value, got.negative, value, _mm512_set1_pd(-0.0)));
        const unsigned odd = got.odd | (~exact & 0xFF);
        if (odd != 0) n += list_left(odd, k, left + n);
    }
    return n;
}

// The same with AVX2: one token a vector, its bit masks spread back to bytes.

// The bytes of a vector whose bits are set in bits.
[[gnu::target("avx2")]] inline __m256i spread_bits(std::uint32_t bits) {
    const __m256i copies =
        _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)),
                            _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2,
                                             2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3));
    const __m256i bit = _mm256_set1_epi64x(static_cast<std::int64_t>(0x8040201008040201));
    return _mm256_cmpeq_epi8(_mm256_and_si256(copies, bit), bit);
}

// One token read: its digits (the point taken out) as four 8-digit values, the last eight in the
// highest lane; the digits after its point, whether it is negative and whether it has another
// shape.
struct one_decimal {
    __m256i eights;
    std::uint32_t places;
    bool negative;
    bool odd;
};

[[gnu::target("avx2")]] inline one_decimal read_one_decimal(const char* base, std::uint32_t end) {
    const char* last = base + end;
    const __m256i word = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(last - 32));
    const __m256i before_word = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(last - 33));
    // The token: after the last byte below '-' (white space in such a stride).
    const auto spaces = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_max_epu8(word, _mm256_set1_epi8('-')), word)));
    const auto length = static_cast<std::uint32_t>(std::countl_zero(spaces));
    const auto token = static_cast<std::uint32_t>(top_bits(length));
    const std::uint32_t lead = std::uint32_t(1) << (32 - length);
    const std::uint32_t points = static_cast<std::uint32_t>(_mm256_movemask_epi8(
                                     _mm256_cmpeq_epi8(word, _mm256_set1_epi8('.')))) &
                                 token;
    const std::uint32_t minus = static_cast<std::uint32_t>(_mm256_movemask_epi8(
                                    _mm256_cmpeq_epi8(word, _mm256_set1_epi8('-')))) &
                                lead;
    const auto moved = static_cast<std::uint32_t>(at_or_before(points));
    const std::uint32_t digits = token & ~points & ~minus;
    const std::uint32_t kept = (digits & ~moved) | ((digits & moved) << 1);
    const __m256i closed = _mm256_blendv_epi8(word, before_word, spread_bits(moved));
    const __m256i values =
        _mm256_and_si256(_mm256_sub_epi8(closed, _mm256_set1_epi8('0')), spread_bits(kept));
    const __m256i nine = _mm256_set1_epi8(9);
    const auto digit_bytes = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(values, nine), values)));
    one_decimal got;
    got.odd = (points & (points - 1)) != 0 || kept == 0 || (kept & ~digit_bytes) != 0 ||
              (kept & 0x1FFF) != 0;
    got.places = points == 0 ? 0 : 31 - static_cast<std::uint32_t>(std::countr_zero(points));
    got.negative = minus != 0;
    got.eights = lane_values(values);
    return got;
}

// Four tokens read: their digits as integers (64-bit lanes), the digits after their points
// (32-bit lanes), and which are negative and which have another shape (bit i for token i).
struct four_long_decimals {
    __m256i mantissas;
    __m128i places;
    unsigned negative;
    unsigned odd;
};

[[gnu::target("avx2")]] inline four_long_decimals read_four_long_decimals(
    const char* base, const std::uint32_t* ends) {
    one_decimal one[4];
#pragma GCC unroll 4
    for (std::size_t i = 0; i < 4; ++i)
        one[i] = read_one_decimal(base, ends[i]);
    // At most 19 digits: the first 8-digit value is 0, the second below 1000.
    const __m256i low01 = _mm256_unpacklo_epi64(one[0].eights, one[1].eights);
    const __m256i high01 = _mm256_unpackhi_epi64(one[0].eights, one[1].eights);
    const __m256i low23 = _mm256_unpacklo_epi64(one[2].eights, one[3].eights);
    const __m256i high23 = _mm256_unpackhi_epi64(one[2].eights, one[3].eights);
    const __m256i high = _mm256_permute2x128_si256(high01, high23, 0x20);
    const __m256i middle = _mm256_permute2x128_si256(low01, low23, 0x31);
    const __m256i low = _mm256_permute2x128_si256(high01, high23, 0x31);
    const __m256i e8 = _mm256_set1_epi64x(100000000);
    // (high 10^8 + middle) 10^8 + low, the first product below 10^11.
    const __m256i upper = _mm256_add_epi64(_mm256_mul_epu32(high, e8), middle);
    four_long_decimals got;
    got.mantissas = _mm256_add_epi64(
        _mm256_add_epi64(_mm256_mul_epu32(upper, e8),
                         _mm256_slli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(upper, 32), e8), 32)),
        low);
    got.places = _mm_setr_epi32(static_cast<int>(one[0].places), static_cast<int>(one[1].places),
                                static_cast<int>(one[2].places), static_cast<int>(one[3].places));
    got.negative = 0;
    got.odd = 0;
    for (unsigned i = 0; i < 4; ++i) {
        got.negative |= (one[i].negative ? 1U : 0U) << i;
        got.odd |= (one[i].odd ? 1U : 0U) << i;
    }
    return got;
}

// 64-bit unsigned integers as doubles, correctly rounded: the high and the low 32 bits placed in
// the mantissas of two doubles, whose one sum rounds.
[[gnu::target("avx2")]] inline __m256d unsigned_to_double(__m256i x) {
    const __m256i low = _mm256_or_si256(_mm256_and_si256(x, _mm256_set1_epi64x(0xFFFFFFFF)),
                                        _mm256_set1_epi64x(0x4330000000000000));  // 2^52
    const __m256i high = _mm256_or_si256(_mm256_srli_epi64(x, 32),
                                         _mm256_set1_epi64x(0x4530000000000000));  // 2^84
    const __m256d high_value =
        _mm256_sub_pd(_mm256_castsi256_pd(high), _mm256_set1_pd(19342813118337666422669312.0));
    return _mm256_add_pd(high_value, _mm256_castsi256_pd(low));  // 2^84 + 2^52 taken out above
}

// Where x is at most limit, as unsigned 64-bit lanes (both below 2^63 apart from x).
[[gnu::target("avx2")]] inline __m256i at_most(__m256i x, std::int64_t limit) {
    const __m256i sign = _mm256_set1_epi64x(INT64_MIN);
    return _mm256_andnot_si256(
        _mm256_cmpgt_epi64(_mm256_xor_si256(x, sign), _mm256_set1_epi64x(limit ^ INT64_MIN)),
        _mm256_set1_epi64x(-1));
}

constexpr double DOUBLE_POWERS[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

[[gnu::target("avx2")]] inline __m256d powers_of(__m128i places) {
    return _mm256_i32gather_pd(DOUBLE_POWERS, _mm_and_si128(places, _mm_set1_epi32(15)), 8);
}

// The sign bits of the lanes set in bits (0 to 15), for four 32-bit or 64-bit lanes.
[[gnu::target("avx2")]] inline __m256i lane_masks(unsigned bits) {
    const __m256i bit = _mm256_setr_epi64x(1, 2, 4, 8);
    return _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(bits), bit), bit);
}

[[gnu::target("avx2")]] std::size_t convert_decimal_floats_avx2(const char* base,
                                                                const std::uint32_t* ends,
                                                                std::size_t count, float* out,
                                                                std::uint32_t* left) {
    const __m256i midpoint = _mm256_set1_epi64x((std::int64_t(1) << 28) - 8);
    std::size_t n = 0;
    for (std::size_t k = 0; k + 4 <= count; k += 4) {
        const four_long_decimals got = read_four_long_decimals(base, ends + k);
        const __m256i places = _mm256_cvtepu32_epi64(got.places);
        const __m256i single = _mm256_and_si256(at_most(got.mantissas, std::int64_t(1) << 24),
                                                _mm256_cmpgt_epi64(_mm256_set1_epi64x(11), places));
        const __m256d powers = powers_of(got.places);
        const __m256d exact = unsigned_to_double(got.mantissas);
        const __m128 narrow = _mm_div_ps(_mm256_cvtpd_ps(exact), _mm256_cvtpd_ps(powers));
        const __m256d wide = _mm256_div_pd(exact, powers);
        const __m256i distance =
            _mm256_sub_epi64(_mm256_and_si256(_mm256_castpd_si256(wide),
                                              _mm256_set1_epi64x((std::int64_t(1) << 29) - 1)),
                             midpoint);
        const __m256i clear =
            _mm256_and_si256(_mm256_or_si256(_mm256_cmpgt_epi64(distance, _mm256_set1_epi64x(16)),
                                             _mm256_cmpgt_epi64(_mm256_setzero_si256(), distance)),
                             _mm256_cmpgt_epi64(_mm256_set1_epi64x(16), places));
        const __m128 value =
            _mm_blendv_ps(_mm256_cvtpd_ps(wide), narrow, _mm_castsi128_ps(narrow_masks(single)));
        const __m128 sign = _mm_castsi128_ps(narrow_masks(lane_masks(got.negative)));
        _mm_storeu_ps(out + k, _mm_xor_ps(value, _mm_and_ps(sign, _mm_set1_ps(-0.0F))));
        const auto kept = static_cast<unsigned>(
            _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_or_si256(single, clear))));
        const unsigned odd = got.odd | (~kept & 0xF);
        if (odd != 0) n += list_left(odd, k, left + n);
    }
    return n;
}

[[gnu::target("avx2")]] std::size_t convert_decimal_doubles_avx2(const char* base,
                                                                 const std::uint32_t* ends,
                                                                 std::size_t count, double* out,
                                                                 std::uint32_t* left) {
    std::size_t n = 0;
    for (std::size_t k = 0; k + 4 <= count; k += 4) {
        const four_long_decimals got = read_four_long_decimals(base, ends + k);
        const __m256i exact = _mm256_and_si256(
            at_most(got.mantissas, std::int64_t(1) << 53),
            _mm256_cmpgt_epi64(_mm256_set1_epi64x(16), _mm256_cvtepu32_epi64(got.places)));
        const __m256d value =
            _mm256_div_pd(unsigned_to_double(got.mantissas), powers_of(got.places));
        const __m256d sign = _mm256_castsi256_pd(lane_masks(got.negative));
        _mm256_storeu_pd(out + k, _mm256_xor_pd(value, _mm256_and_pd(sign, _mm256_set1_pd(-0.0))));
        const auto kept = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(exact)));
        const unsigned odd = got.odd | (~kept & 0xF);
        if (odd != 0) n += list_left(odd, k, left + n);
    }
    return n;
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

bool has_ssse3() {
    return __builtin_cpu_supports("ssse3");
}

bool has_avx2() {
    return __builtin_cpu_supports("avx2") && has_ssse3();
}

bool has_avx512vbmi2() {
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") &&
           __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && has_avx2();
}

}  // namespace

#endif

namespace {

bool runs_everywhere() {
    return true;
}

// Each one's kernels need no more than the one before has.
constexpr digit_kernels IMPLEMENTATIONS[] = {
    {"portable", runs_everywhere, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr},
#ifdef RASTMILL_X86_KERNELS
    {"ssse3", has_ssse3, pack_short_digits_ssse3, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr},
    {"avx2", has_avx2, pack_short_digits_ssse3, convert_short_integers_avx2,
     convert_fixed_floats_avx2, convert_fixed_doubles_avx2, nullptr, nullptr,
     convert_decimal_floats_avx2, convert_decimal_doubles_avx2},
    {"avx512vbmi2", has_avx512vbmi2, pack_short_digits_512, convert_short_integers_512,
     convert_fixed_floats_512, convert_fixed_doubles_512, flatten_bits_512, classify_blocks_512,
     convert_decimal_floats_512, convert_decimal_doubles_512},
#endif
};

// Null until the first span asks or set_kernels chooses.
std::atomic<const digit_kernels*> active{nullptr};

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::vector<const digit_kernels*> runnable_kernels() {
    std::vector<const digit_kernels*> runnable;
    for (const digit_kernels& kernels : IMPLEMENTATIONS) {
        if (kernels.runs_here()) runnable.push_back(&kernels);
    }
    return runnable;
}

const digit_kernels& active_kernels() {
    const digit_kernels* chosen = active.load(std::memory_order_acquire);
    if (chosen != nullptr) [[likely]]
        return *chosen;
    const digit_kernels* best = runnable_kernels().back();
    // A choice made meanwhile by set_kernels stays.
    return active.compare_exchange_strong(chosen, best, std::memory_order_acq_rel) ? *best
                                                                                   : *chosen;
}

failure set_kernels(std::string_view name) {
    // The name comes from the environment: shown on the message's one line, escaped and cut.
    constexpr std::size_t SHOWN = 64;
    const std::string shown = printable(name.substr(0, SHOWN), name.size() > SHOWN);
    for (const digit_kernels& kernels : IMPLEMENTATIONS) {
        if (!same_name(name, kernels.name)) continue;
        if (!kernels.runs_here()) {
            return {MSG_KERNELS_UNSUPPORTED, shown, "this CPU runs " + runnable_kernel_names()};
        }
        active.store(&kernels, std::memory_order_release);
        return {};
    }
    return {MSG_UNKNOWN_KERNELS, shown, "this CPU runs " + runnable_kernel_names()};
}

std::string runnable_kernel_names() {
    std::string names;
    for (const digit_kernels* kernels : runnable_kernels())
        names += (names.empty() ? "" : ", ") + std::string(kernels->name);
    return names;
}
