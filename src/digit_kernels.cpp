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

[[gnu::target("avx2")]] std::size_t convert_short_integers_avx2(const char* base,
                                                                const std::uint32_t* ends,
                                                                std::size_t count,
                                                                std::int32_t* out) {
    const __m256i zeros = _mm256_set1_epi8('0');
    const __m256i minus = _mm256_set1_epi8('-');
    const __m256i tens = _mm256_set1_epi16(0x010A);       // byte pairs: 10 a + b
    const __m256i hundreds = _mm256_set1_epi32(0x10064);  // 16-bit pairs: 100 a + b
    const __m256i ten_thousand = _mm256_set1_epi64x(10000);
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
        const __m256i pairs = _mm256_maddubs_epi16(digits, tens);
        const __m256i quads = _mm256_madd_epi16(pairs, hundreds);
        const __m256i value =
            _mm256_add_epi64(_mm256_mul_epu32(quads, ten_thousand), _mm256_srli_epi64(quads, 32));
        const __m256i signed_value = _mm256_sub_epi64(_mm256_xor_si256(value, negative), negative);
        const __m256i packed = _mm256_permutevar8x32_epi32(signed_value, lanes);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm256_castsi256_si128(packed));
    }
    return k;
}

// Masked forms with every lane, as GCC 12's plain ones warn of an uninitialised vector.
constexpr __mmask8 ALL_LANES = 0xFF;

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
    const __m512i tens = _mm512_set1_epi16(0x010A);       // byte pairs: 10 a + b
    const __m512i hundreds = _mm512_set1_epi32(0x10064);  // 16-bit pairs: 100 a + b
    const __m512i ten_thousand = _mm512_set1_epi64(10000);
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
        const __m512i pairs = _mm512_maddubs_epi16(digits, tens);
        const __m512i quads = _mm512_madd_epi16(pairs, hundreds);
        const __m512i value =
            _mm512_add_epi64(_mm512_maskz_mul_epu32(ALL_LANES, quads, ten_thousand),
                             _mm512_maskz_srli_epi64(ALL_LANES, quads, 32));
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
    const __m256i pairs = _mm256_maddubs_epi16(digits, _mm256_set1_epi16(0x010A));
    const __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x10064));
    const __m256i value = _mm256_add_epi64(_mm256_mul_epu32(quads, _mm256_set1_epi64x(10000)),
                                           _mm256_srli_epi64(quads, 32));
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

bool has_ssse3() {
    return __builtin_cpu_supports("ssse3");
}

bool has_avx2() {
    return __builtin_cpu_supports("avx2") && has_ssse3();
}

bool has_avx512vbmi2() {
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") &&
           __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512vl") && has_avx2();
}

}  // namespace

#endif

namespace {

bool runs_everywhere() {
    return true;
}

// Each one's kernels need no more than the one before has.
constexpr digit_kernels IMPLEMENTATIONS[] = {
    {"portable", runs_everywhere, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
#ifdef RASTMILL_X86_KERNELS
    {"ssse3", has_ssse3, pack_short_digits_ssse3, nullptr, nullptr, nullptr, nullptr, nullptr},
    {"avx2", has_avx2, pack_short_digits_ssse3, convert_short_integers_avx2,
     convert_fixed_floats_avx2, convert_fixed_doubles_avx2, nullptr, nullptr},
    {"avx512vbmi2", has_avx512vbmi2, pack_short_digits_512, convert_short_integers_512,
     convert_fixed_floats_avx2, convert_fixed_doubles_avx2, flatten_bits_512, classify_blocks_512},
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
