#include "digit_kernels.h"

#include "separator_scan.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && \
    !defined(RASTMILL_SCALAR_SCAN)
#define RASTMILL_SSSE3_KERNELS 1
#include <tmmintrin.h>
#endif

#ifdef RASTMILL_SSSE3_KERNELS

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

#else

bool packs_short_digits() {
    return false;
}

void pack_short_digits(const char*, const std::uint64_t*, std::size_t, unsigned char*) {}

#endif
