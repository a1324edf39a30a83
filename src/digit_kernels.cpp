#include "digit_kernels.h"

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

}  // namespace

bool packs_short_digits() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}

[[gnu::target("ssse3")]] void pack_short_digits(const char* base, const std::uint64_t* starting,
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

namespace {

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

}  // namespace

bool converts_short_integers() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

[[gnu::target("avx2")]] std::size_t convert_short_integers(const char* base,
                                                           const std::uint32_t* ends,
                                                           std::size_t count, std::int32_t* out) {
    const __m256i ones = _mm256_set1_epi64x(-1);
    const __m256i zeros = _mm256_set1_epi8('0');
    const __m256i minus = _mm256_set1_epi8('-');
    const __m256i tens = _mm256_set1_epi16(0x010A);       // byte pairs: 10 a + b
    const __m256i hundreds = _mm256_set1_epi32(0x10064);  // 16-bit pairs: 100 a + b
    const __m256i ten_thousand = _mm256_set1_epi64x(10000);
    const __m256i lanes = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const __m256i word = load_four_ends(base, ends + k);
        // White space is every byte below the minus; the token is what follows the last of it.
        __m256i before = _mm256_cmpgt_epi8(minus, word);
        before = _mm256_or_si256(before, _mm256_srli_epi64(before, 8));
        before = _mm256_or_si256(before, _mm256_srli_epi64(before, 16));
        before = _mm256_or_si256(before, _mm256_srli_epi64(before, 32));
        const __m256i token = _mm256_andnot_si256(before, ones);
        const __m256i lead = _mm256_andnot_si256(_mm256_slli_epi64(token, 8), token);
        const __m256i negative =
            _mm256_cmpeq_epi64(_mm256_and_si256(word, lead), _mm256_and_si256(minus, lead));
        const __m256i kept = _mm256_andnot_si256(_mm256_and_si256(negative, lead), token);
        // No white space in the eight bytes (a token of eight or more), or a lone minus.
        const __m256i odd = _mm256_or_si256(_mm256_cmpeq_epi64(token, ones),
                                            _mm256_cmpeq_epi64(kept, _mm256_setzero_si256()));
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

#else

bool packs_short_digits() {
    return false;
}

void pack_short_digits(const char*, const std::uint64_t*, std::size_t, unsigned char*) {}

bool converts_short_integers() {
    return false;
}

std::size_t convert_short_integers(const char*, const std::uint32_t*, std::size_t, std::int32_t*) {
    return 0;
}

#endif
