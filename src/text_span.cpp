#include "text_span.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <type_traits>

#include "digit_kernels.h"
#include "formats.h"
#include "separator_scan.h"
#include "text_number.h"

namespace {

// Integers into std::int64_t are wide values, which keep their range; into the element types they
// keep their low bits.
template <typename T>
[[gnu::always_inline]] inline number_scan<T> scan_cell(const char* p) {
    if constexpr (std::is_floating_point_v<T>) {
        return scan_cell_real<T>(p);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return scan_cell_integer_wide(p);
    } else {
        const number_scan<std::uint32_t> scan = scan_cell_integer(p);
        return {static_cast<T>(scan.value), scan.end, scan.ok};  // keeps the low bits
    }
}

// The integer token [p, end), its end already known, into value. False when it is not wholly a
// number.
template <typename T>
[[gnu::always_inline]] inline bool scan_token(const char* p, const char* end, T& value) {
    std::uint32_t wrapped;
    if (scan_short_integer(p, end, wrapped)) [[likely]] {
        // Under 10^8: as a signed 32-bit value it is exact, and it keeps its low bits in T.
        value = static_cast<T>(static_cast<std::int32_t>(wrapped));
        return true;
    }
    const number_scan<T> scan = scan_cell<T>(p);
    value = scan.value;
    return scan.ok && scan.end == end;
}

// Text indexed at a time: its token offsets fit two small arrays.
constexpr std::size_t STRIDE = 4096;
constexpr std::size_t STRIDE_TOKENS = STRIDE / 2 + 64;  // with room for the unrolled writes

// Appends the offsets of the set bits of bits, plus offset, to positions[count...]: eight at a
// time without a branch per bit, so the loop does not mispredict as token counts vary.
inline void flatten(std::uint64_t bits, std::uint32_t offset, std::uint32_t* positions,
                    std::size_t& count) {
    const int total = count_bits(bits);
    std::uint32_t* at = positions + count;
    for (int i = 0; i < 8; ++i, bits &= bits - 1)
        at[i] = offset + static_cast<std::uint32_t>(std::countr_zero(bits));
    if (total > 8) {
        for (int i = 8; i < total; ++i, bits &= bits - 1)
            at[i] = offset + static_cast<std::uint32_t>(std::countr_zero(bits));
    }
    count += static_cast<std::size_t>(total);
}

// The byte masks of a stride, 64 bytes a block, and which shape all of its tokens have, if one.
struct stride_masks {
    std::uint64_t separators[STRIDE / 64];
    std::uint64_t starting[STRIDE / 64];
    std::uint64_t points[STRIDE / 64];
    std::size_t blocks;
    bool short_digits;    // one or two digits
    bool plain_integers;  // digits after an optional minus
    bool decimal_bytes;   // digits and points after an optional minus
};

// Classifies [base, limit), which ends in white space and follows white space (or nothing), and is
// at most STRIDE bytes long, the classes of each block b at block from classify(block, b).
template <typename Classify>
inline void classify_stride_by(const char* base, const char* limit, stride_masks& masks,
                               Classify classify) {
    std::uint64_t before = ~std::uint64_t(0);  // separators before the block: its last two bits
    std::uint64_t not_short = 0;
    std::uint64_t not_plain = 0;
    std::uint64_t not_decimal = 0;
    std::size_t count = 0;
    for (const char* block = base; block < limit; block += 64, ++count) {
        const byte_classes classes = classify(block, count);
        std::uint64_t separator = classes.separators;
        const auto left = static_cast<std::size_t>(limit - block);
        if (left < 64) separator |= ~std::uint64_t(0) << left;  // past the end: white space
        const std::uint64_t shifted = (separator << 1) | (before >> 63);
        masks.separators[count] = separator;
        masks.starting[count] = ~separator & shifted;
        masks.points[count] = classes.points;
        // Not short: a byte of a token that is no digit, or the third byte of a token.
        const std::uint64_t in_token = ~separator;
        const std::uint64_t third = in_token & ~shifted & ~((separator << 2) | (before >> 62));
        not_short |= (in_token & ~classes.digits) | third;
        const std::uint64_t odd =
            in_token & ~classes.digits & ~(classes.minus & masks.starting[count]);
        not_plain |= odd;
        not_decimal |= odd & ~classes.points;
        before = separator;
    }
    masks.blocks = count;
    masks.short_digits = not_short == 0;
    masks.plain_integers = not_plain == 0;
    masks.decimal_bytes = not_decimal == 0;
}

inline void classify_stride(const char* base, const char* limit, stride_masks& masks) {
    classify_stride_by(base, limit, masks,
                       [](const char* block, std::size_t) { return classify_block(block); });
}

inline std::size_t count_tokens(const stride_masks& masks) {
    std::size_t tokens = 0;
    for (std::size_t i = 0; i < masks.blocks; ++i)
        tokens += static_cast<std::size_t>(count_bits(masks.starting[i]));
    return tokens;
}

// The offsets of the tokens' starts from the stride's base; how many there are.
inline std::size_t flatten_starts(const stride_masks& masks, std::uint32_t* starts) {
    std::size_t started = 0;
    for (std::size_t i = 0; i < masks.blocks; ++i)
        flatten(masks.starting[i], static_cast<std::uint32_t>(64 * i), starts, started);
    return started;
}

// The bits of block i at which a token's end stands: white space after no white space.
inline std::uint64_t end_bits(const stride_masks& masks, std::size_t i) {
    const std::uint64_t before_block = i == 0 ? 1 : masks.separators[i - 1] >> 63;
    const std::uint64_t separators = masks.separators[i];
    return separators & ~((separators << 1) | before_block);
}

// The offsets of the tokens' ends from the stride's base; how many there are.
inline std::size_t flatten_ends(const stride_masks& masks, std::uint32_t* ends) {
    std::size_t ended = 0;
    for (std::size_t i = 0; i < masks.blocks; ++i)
        flatten(end_bits(masks, i), static_cast<std::uint32_t>(64 * i), ends, ended);
    return ended;
}

// flatten_starts and flatten_ends through the implementation's kernel where it has one.
inline std::size_t flatten_starts(const stride_masks& masks, std::uint32_t* starts,
                                  const digit_kernels& kernels) {
    if (kernels.flatten_bits == nullptr) return flatten_starts(masks, starts);
    return kernels.flatten_bits(masks.starting, masks.blocks, starts);
}

inline std::size_t flatten_ends(const stride_masks& masks, std::uint32_t* ends,
                                const digit_kernels& kernels) {
    if (kernels.flatten_bits == nullptr) return flatten_ends(masks, ends);
    std::uint64_t ending[STRIDE / 64];
    for (std::size_t i = 0; i < masks.blocks; ++i)
        ending[i] = end_bits(masks, i);
    return kernels.flatten_bits(ending, masks.blocks, ends);
}

// The end of the stride that starts at base: after its last white space, at most as many bytes on
// as the values wanted take at eight bytes each (a narrow row indexes no kilobytes in vain), and
// never more than STRIDE; base itself where a token longer than that starts there. A stride so
// holds whole tokens.
inline const char* stride_limit(const char* base, const char* last, std::size_t values_wanted) {
    const std::size_t stride = std::max<std::size_t>(std::min(values_wanted, STRIDE / 8) * 8, 64);
    const char* limit = last - base > static_cast<std::ptrdiff_t>(stride) ? base + stride : last;
    while (limit != base && !is_space(limit[-1]))
        --limit;
    return limit;
}

// The white space that ends the token at p.
inline const char* next_separator(const char* p) {
    while (!is_space(*p))
        ++p;
    return p;
}

// One- and two-digit tokens, all checked already: their values without a loop or a branch each.
template <typename T>
void convert_short_digits(const char* base, const std::uint32_t* starts, std::size_t count,
                          T* out) {
    for (std::size_t k = 0; k < count; ++k) {
        const char* p = base + starts[k];
        const unsigned first = static_cast<unsigned char>(p[0]) - '0';
        const unsigned second = static_cast<unsigned char>(p[1]) - '0';  // a digit or white space
        // Arithmetic, not a choice: a branch here mispredicts on every mix of lengths.
        const unsigned two = second < 10 ? 1 : 0;
        const unsigned value = first * (1 + 9 * two) + second * two;
        out[k] = static_cast<T>(value);
    }
}

// Tokens from..count-1 of digits after an optional minus, checked already, at their known
// lengths: up to eight digits convert together; longer ones, and a lone minus, take the general
// path.
template <typename T>
bool convert_plain_tokens(const char* base, const std::uint32_t* starts, const std::uint32_t* ends,
                          std::size_t from, std::size_t count, T* out, std::size_t& converted) {
    for (std::size_t k = from; k < count; ++k) {
        const char* p = base + starts[k];
        const char* end = base + ends[k];
        const bool negative = *p == '-';
        const char* digits = p + (negative ? 1 : 0);
        const auto length = static_cast<std::size_t>(end - digits);
        if (length - 1 < 8) [[likely]] {
            const std::uint32_t magnitude =
                digits_value(load_eight(digits), static_cast<int>(length));
            out[k] =
                static_cast<T>(static_cast<std::int32_t>(negative ? 0u - magnitude : magnitude));
        } else if (!scan_token<T>(p, end, out[k])) {
            converted = k;
            return false;
        }
    }
    converted = count;
    return true;
}

// The tokens of a stride whose ends alone are indexed through a kernel that takes four at a time,
// each from one 8-byte load ending at the token: from the first token whose 9 bytes before its
// end lie in the span (near), in fours, the last four filled up with the last token again (its
// copies are not kept). Returns one past the last token converted, into values[k - near].
template <typename V, typename Kernel>
std::size_t run_in_fours(const char* first, const char* base, std::uint32_t* ends,
                         std::size_t count, std::size_t& near, V* values, Kernel&& kernel) {
    near = 0;
    while (near < count && base + ends[near] - first < 9)
        ++near;
    if (near == count) return count;
    const std::size_t four = (count - near + 3) / 4 * 4;
    for (std::size_t k = count; k < near + four; ++k)
        ends[k] = ends[count - 1];
    return near + std::min(kernel(ends + near, four, values), count - near);
}

// The tokens of a stride of plain integers (digits after an optional minus), checked already,
// whose ends alone are indexed: four at a time by the vector kernel, from the first token whose 9
// bytes before its end lie in the span; the others, once their starts are indexed too, one by
// one. False where a token is not a value, at converted.
template <typename T>
bool convert_plain_integers(const char* first, const char* base, const stride_masks& masks,
                            std::uint32_t* starts, std::uint32_t* ends, std::size_t count, T* out,
                            std::size_t& converted, const digit_kernels& kernels) {
    std::int32_t values[STRIDE_TOKENS];
    std::size_t near = 0;
    const std::size_t done =
        run_in_fours(first, base, ends, count, near, values,
                     [&](const std::uint32_t* at, std::size_t n, std::int32_t* into) {
                         return kernels.convert_short_integers(base, at, n, into);
                     });
    for (std::size_t k = near; k < done; ++k)
        out[k] = static_cast<T>(values[k - near]);  // keeps the low bits
    if (near == 0 && done == count) {
        converted = count;
        return true;
    }
    flatten_starts(masks, starts, kernels);
    if (!convert_plain_tokens(base, starts, ends, 0, near, out, converted)) return false;
    return convert_plain_tokens(base, starts, ends, done, count, out, converted);
}

// Stage 1 of a stride, besides its byte masks: where its tokens start and end (offsets from the
// stride's base), as a converter asks for them.
struct token_offsets {
    std::uint32_t starts[STRIDE_TOKENS];
    std::uint32_t ends[STRIDE_TOKENS];
};

// Where stage 2 converts a stride: the span's first byte (no load reaches before it), the stride
// [base, limit), the values wanted from it (at least one), the values out has room for from
// base's first token on, and the implementation whose kernels take the shapes they can.
struct stride_place {
    const char* first;
    const char* base;
    const char* limit;
    std::size_t wanted;
    std::size_t room;
    const digit_kernels& kernels;
};

// Stage 2, one converter per shape of the stride's tokens. Each returns the values it took, and
// whether it stopped at a token that is not wholly a number (next: at it), else next: after the
// last value wanted, or at the stride's limit when it took them all.

// One- and two-digit tokens: all of the stride at once by the kernel, straight into bytes where
// out has room for its 8-byte stores, else as bytes widened; only strides that leave values
// wanted, as where the last one wanted ends is the indexed path's to find.
template <typename T>
span_parse convert_short_digit_stride(const stride_masks& masks, token_offsets& offsets,
                                      const stride_place& at, T* out) {
    if (at.kernels.pack_short_digits != nullptr) {
        const std::size_t packed = count_tokens(masks);
        if (packed < at.wanted && (sizeof(T) != 1 || packed + 8 <= at.room)) {
            if constexpr (sizeof(T) == 1) {
                at.kernels.pack_short_digits(at.base, masks.starting, masks.blocks,
                                             reinterpret_cast<unsigned char*>(out));
            } else {
                unsigned char bytes[STRIDE_TOKENS];
                at.kernels.pack_short_digits(at.base, masks.starting, masks.blocks, bytes);
                for (std::size_t k = 0; k < packed; ++k)
                    out[k] = static_cast<T>(bytes[k]);
            }
            return {packed, false, at.limit};
        }
    }
    const std::size_t tokens =
        std::min(flatten_starts(masks, offsets.starts, at.kernels), at.wanted);
    convert_short_digits(at.base, offsets.starts, tokens, out);
    const bool all = tokens == at.wanted;
    return {tokens, false, all ? next_separator(at.base + offsets.starts[tokens - 1]) : at.limit};
}

// Digits after an optional minus: four at a time by the kernel where there is one, else one by
// one at their indexed lengths.
template <typename T>
span_parse convert_plain_integer_stride(const stride_masks& masks, token_offsets& offsets,
                                        const stride_place& at, T* out) {
    std::size_t tokens = std::min(flatten_ends(masks, offsets.ends, at.kernels), at.wanted);
    std::size_t converted = 0;
    bool whole = false;
    if (at.kernels.convert_short_integers != nullptr) {
        whole = convert_plain_integers(at.first, at.base, masks, offsets.starts, offsets.ends,
                                       tokens, out, converted, at.kernels);
    } else {
        tokens = std::min(flatten_starts(masks, offsets.starts, at.kernels), at.wanted);
        whole =
            convert_plain_tokens(at.base, offsets.starts, offsets.ends, 0, tokens, out, converted);
    }
    if (!whole) return {converted, true, at.base + offsets.starts[converted]};
    return {converted, false,
            converted == at.wanted ? at.base + offsets.ends[tokens - 1] : at.limit};
}

// Any other tokens: each by the general integer path, at its indexed start and end.
template <typename T>
span_parse convert_any_integer_stride(const stride_masks& masks, token_offsets& offsets,
                                      const stride_place& at, T* out) {
    flatten_ends(masks, offsets.ends, at.kernels);
    const std::size_t tokens =
        std::min(flatten_starts(masks, offsets.starts, at.kernels), at.wanted);
    for (std::size_t k = 0; k < tokens; ++k) {
        if (!scan_token<T>(at.base + offsets.starts[k], at.base + offsets.ends[k], out[k])) {
            return {k, true, at.base + offsets.starts[k]};
        }
    }
    return {tokens, false, tokens == at.wanted ? at.base + offsets.ends[tokens - 1] : at.limit};
}

// Stage 1 of a stride, its blocks classified by the implementation's kernel where it has one; out
// of line: inlined into the span's loop, the classifier's vector constants no longer all stay in
// registers (1 % more instructions on Int16 grids, measured).
[[gnu::noinline]] void index_stride(const char* base, const char* limit, stride_masks& masks,
                                    const digit_kernels& kernels) {
    if (kernels.classify_blocks == nullptr) {
        classify_stride(base, limit, masks);
        return;
    }
    byte_classes classes[STRIDE / 64];
    kernels.classify_blocks(base, static_cast<std::size_t>(limit - base + 63) / 64, classes);
    classify_stride_by(base, limit, masks,
                       [&](const char*, std::size_t block) { return classes[block]; });
}

// A token longer than a stride, at base.
template <typename T>
span_parse convert_long_integer(const char* base, T* out) {
    const char* end = next_separator(base);
    if (!scan_token<T>(base, end, *out)) return {0, true, base};
    return {1, false, end};
}

// Integers: where tokens start and end comes from the byte masks, not from parsing the token
// before, so the parses of neighbouring tokens do not wait on each other; strides whose tokens all
// have one of the common shapes are converted in bulk.
template <typename T>
span_parse parse_integer_span(const char* first, const char* last, T* out, std::size_t max_values) {
    // The values out has room for, as parse_text_span promises.
    const std::size_t room = static_cast<std::size_t>(last - first + 1) / 2;
    const digit_kernels& kernels = active_kernels();
    token_offsets offsets;
    std::size_t n = 0;
    const char* base = first;
    while (base != last && n != max_values) {
        const char* limit = stride_limit(base, last, max_values - n);
        span_parse got{};
        if (limit == base) {
            got = convert_long_integer(base, out + n);
        } else {
            stride_masks masks;
            index_stride(base, limit, masks, kernels);
            const stride_place at{first, base, limit, max_values - n, room - n, kernels};
            if (masks.short_digits) {
                got = convert_short_digit_stride(masks, offsets, at, out + n);
            } else if (masks.plain_integers) {
                got = convert_plain_integer_stride(masks, offsets, at, out + n);
            } else {
                got = convert_any_integer_stride(masks, offsets, at, out + n);
            }
        }
        n += got.values;
        if (got.stopped || n == max_values) return {n, got.stopped, got.next};
        base = got.next;
    }
    return {n, false, base};
}

// One token at a time, each scanned by scan from its first character.
template <typename T, typename Scan>
[[gnu::always_inline]] inline span_parse parse_tokens(const char* p, const char* last, T* out,
                                                      std::size_t max_values, Scan scan_at) {
    std::size_t n = 0;
    while (n != max_values) {
        while (p != last && is_space(*p))
            ++p;
        if (p == last) break;
        const number_scan<T> scan = scan_at(p);
        if (!scan.ok || !is_space(*scan.end)) return {n, true, p};
        out[n++] = scan.value;
        p = scan.end;
    }
    return {n, false, p};
}

// Strides of reals left to the token loop after one that was not all fixed-point decimals.
constexpr int PATIENCE = 15;

constexpr std::uint32_t POWERS_OF_TEN[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// The places the fixed-point path tries the stride from p at: the digits after the point of its
// first token when that is a fixed-point decimal of at most eight digits and point ("1442.548",
// "-0.5"); 1 when it is an integer of at most eight digits, as that path takes integers at any
// places (an integer grid into reals, and one with a few halves); 0 for any other shape.
inline int fixed_point_places(const char* p, const char* limit) {
    while (p != limit && is_space(*p))
        ++p;
    if (p != limit && *p == '-') ++p;
    const char* digits = p;
    while (p != limit && is_digit(*p))
        ++p;
    if (p == digits || p == limit) return 0;
    if (is_space(*p)) return p - digits <= 8 ? 1 : 0;
    if (*p != '.') return 0;
    const char* point = p++;
    while (p != limit && is_digit(*p))
        ++p;
    const auto places = p - point - 1;
    return p != limit && is_space(*p) && places >= 1 && p - digits <= 8 ? static_cast<int>(places)
                                                                        : 0;
}

// How the points of a stride stand for places digits after the point: every token's end has a
// point places + 1 bytes before it; or some have, the others none; or some point stands
// elsewhere.
enum class point_fit { every_token, some_tokens, elsewhere };

inline point_fit fit_points(const stride_masks& masks, int places) {
    const int back = places + 1;
    std::uint64_t later_ends = 0;  // of the block after
    bool every = true;
    for (std::size_t i = masks.blocks; i-- > 0;) {
        const std::uint64_t separators = masks.separators[i];
        const std::uint64_t before_block = i == 0 ? 1 : masks.separators[i - 1] >> 63;
        const std::uint64_t ends = separators & ~((separators << 1) | before_block);
        const std::uint64_t expected = (ends >> back) | (later_ends << (64 - back));
        if ((masks.points[i] & ~expected) != 0) return point_fit::elsewhere;
        every = every && masks.points[i] == expected;
        later_ends = ends;
    }
    return every ? point_fit::every_token : point_fit::some_tokens;
}

// Whether the bytes of x (digits made 0 to 9) that mask keeps are all digits.
inline bool all_digits(std::uint64_t x, std::uint64_t mask) {
    const std::uint64_t above = (((x & 0x7F7F7F7F7F7F7F7F) + 0x7676767676767676) | x);
    return (above & mask & 0x8080808080808080) == 0;
}

// Fixed-point decimals with places digits after the point, their starts and ends known, in a
// stride that fit_points passed; where only some tokens have their point there (Checked), the
// others, such as a no-data -9999, as plain integers. Each value from one 8-byte load ending at
// the token's end: the point's byte taken out, the digits converted together, then rounded as
// scan_cell_real rounds them (one division of exact operands); a token too close to first for the
// load by scan_cell_real itself. Stops at the first token of another shape; returns how many it
// converted.
template <bool Checked, typename T>
std::size_t convert_fixed_point(const char* first, const char* base, const std::uint32_t* starts,
                                const std::uint32_t* ends, std::size_t count, int places, T* out) {
    const auto scale = static_cast<T>(POWERS_OF_TEN[places]);
    const std::uint64_t fraction = ~std::uint64_t(0) << (8 * (8 - places));
    const std::uint64_t integer = (std::uint64_t(1) << (8 * (7 - places))) - 1;
    for (std::size_t k = 0; k < count; ++k) {
        const char* start = base + starts[k];
        const char* end = base + ends[k];
        const bool negative = *start == '-';
        const auto length = end - start - (negative ? 1 : 0);
        // Too short for its point, a token's expected point may be one inside the token before,
        // which every_token let pass unchecked: that one is given back to the token loop too.
        if (end - first < 8) {  // the load would start before the span: this one by itself
            const number_scan<T> scan = scan_cell_real<T>(start);
            if (!scan.ok || scan.end != end) return k;
            out[k] = scan.value;
            continue;
        }
        if (length > 8 || length < 1) return Checked || k == 0 ? k : k - 1;
        if (!Checked && length < places + 2) return k == 0 ? 0 : k - 1;
        std::uint64_t word = load_eight(end - 8);
        T value;
        if (!Checked || (length >= places + 2 && end[-places - 1] == '.')) {
            word = (word & fraction) | ((word & integer) << 8);  // the digits close the gap
            const std::uint64_t kept = ~std::uint64_t(0) << (8 * (9 - length));
            const std::uint64_t x = (word ^ 0x3030303030303030) & kept;
            if (Checked && !all_digits(x, kept)) return k;
            value = static_cast<T>(static_cast<std::int64_t>(eight_digit_value(x))) / scale;
        } else {
            const std::uint64_t kept = ~std::uint64_t(0) << (8 * (8 - length));
            const std::uint64_t x = (word ^ 0x3030303030303030) & kept;
            if (length < 1 || !all_digits(x, kept)) return k;
            value = static_cast<T>(static_cast<std::int64_t>(eight_digit_value(x)));
        }
        out[k] = negative ? -value : value;
    }
    return count;
}

// The fixed-point decimals of a stride that fit_points passed, whose ends alone are indexed: four
// at a time by the vector kernel, from the first token whose 9 bytes before its end lie in the
// span; the others, once their starts are indexed too, by the checked path. Returns how many it
// converted; starts are indexed when that is fewer than count. Out of line, once a stride: inlined,
// GCC 12 for s390x cannot tell that flatten_starts fills the starts it reads, and warns.
template <typename T, typename Kernel>
[[gnu::noinline]] std::size_t convert_fixed_in_fours(const char* first, const char* base,
                                                     const stride_masks& masks,
                                                     std::uint32_t* starts, std::uint32_t* ends,
                                                     std::size_t count, int places, T* out,
                                                     Kernel kernel) {
    T values[STRIDE_TOKENS];
    std::size_t near = 0;
    const std::size_t done = run_in_fours(first, base, ends, count, near, values,
                                          [&](const std::uint32_t* at, std::size_t n, T* into) {
                                              return kernel(base, at, n, places, into);
                                          });
    std::copy(values, values + (done - near), out + near);
    if (near == 0 && done == count) return count;
    flatten_starts(masks, starts);
    const std::size_t before =
        convert_fixed_point<true>(first, base, starts, ends, near, places, out);
    if (before < near) return before;
    return done + convert_fixed_point<true>(first, base, starts + done, ends + done, count - done,
                                            places, out + done);
}

// What the bulk path made of a stride: its values; whether it took every token wanted in it; where
// the parse goes on (the end of the last value, or the first token it left).
struct stride_parse {
    std::size_t values;
    bool whole;
    const char* next;
    bool paid = true;  // whether the bulk path is worth trying on the next stride
};

// The fixed-point kernel of an implementation for T; null where it has none.
template <typename T>
auto fixed_point_kernel(const digit_kernels& kernels) {
    if constexpr (std::is_same_v<T, float>) {
        return kernels.convert_fixed_floats;
    } else {
        return kernels.convert_fixed_doubles;
    }
}

// The stride [base, limit), whose first token is a fixed-point decimal of places places, in bulk
// as far as its tokens have that shape (or are integers), up to wanted values: four at a time by
// the kernel where kernels has one, else by the portable path, which checks each token's point
// unless fit_points found one at every token's place. Out of line, so that the token loop of the
// reals keeps its place (its speed hangs on it).
template <typename T>
[[gnu::noinline]] stride_parse parse_fixed_point_stride(const char* first, const char* base,
                                                        const char* limit, int places,
                                                        std::size_t wanted, T* out,
                                                        const digit_kernels& kernels) {
    std::uint32_t starts[STRIDE_TOKENS];
    std::uint32_t ends[STRIDE_TOKENS];
    stride_masks masks;
    index_stride(base, limit, masks, kernels);
    const point_fit fit = masks.decimal_bytes ? fit_points(masks, places) : point_fit::elsewhere;
    if (fit == point_fit::elsewhere) return {0, false, base};
    std::size_t tokens = 0;
    std::size_t done = 0;
    const auto kernel = fixed_point_kernel<T>(kernels);
    if (kernel != nullptr) {
        tokens = std::min(flatten_ends(masks, ends, kernels), wanted);
        done =
            convert_fixed_in_fours(first, base, masks, starts, ends, tokens, places, out, kernel);
    } else {
        flatten_ends(masks, ends);
        tokens = std::min(flatten_starts(masks, starts), wanted);
        done = fit == point_fit::every_token
                   ? convert_fixed_point<false>(first, base, starts, ends, tokens, places, out)
                   : convert_fixed_point<true>(first, base, starts, ends, tokens, places, out);
    }
    if (done != tokens) return {done, false, base + starts[done]};
    return {done, true, done == wanted ? base + ends[tokens - 1] : limit};
}

// The decimal kernel of an implementation for T; null where it has none.
template <typename T>
auto decimal_kernel(const digit_kernels& kernels) {
    if constexpr (std::is_same_v<T, float>) {
        return kernels.convert_decimal_floats;
    } else {
        return kernels.convert_decimal_doubles;
    }
}

// The bytes a decimal kernel reads before a token's end.
constexpr std::ptrdiff_t DECIMAL_REACH = 33;

// Whether the first token from p could be a decimal the kernel takes: a minus, a digit or a
// point first (the stride's masks decide the rest).
inline bool starts_decimal(const char* p, const char* limit) {
    while (p != limit && is_space(*p))
        ++p;
    return p != limit && (is_digit(*p) || *p == '-' || *p == '.');
}

// The token [start, end) by scan_cell_real into value; false when it is not wholly a number.
template <typename T>
inline bool scan_whole(const char* start, const char* end, T& value) {
    const number_scan<T> scan = scan_cell_real<T>(start);
    value = scan.value;
    return scan.ok && scan.end == end;
}

// The stride [base, limit), when all its bytes are digits, points, leading minus signs and white
// space, through the decimal kernel (eight tokens at a time, from their ends; those it leaves, and
// those too close to first for its loads, by scan_cell_real once their starts are indexed too), up
// to wanted values. Out of line, as the fixed-point stride is.
template <typename T, typename Kernel>
[[gnu::noinline]] stride_parse parse_decimal_stride(const char* first, const char* base,
                                                    const char* limit, std::size_t wanted, T* out,
                                                    Kernel kernel, const digit_kernels& kernels) {
    std::uint32_t starts[STRIDE_TOKENS];
    std::uint32_t ends[STRIDE_TOKENS];
    stride_masks masks;
    index_stride(base, limit, masks, kernels);
    if (!masks.decimal_bytes) return {0, false, base};
    const std::size_t tokens = std::min(flatten_ends(masks, ends, kernels), wanted);
    std::size_t near = 0;
    while (near < tokens && base + ends[near] - first < DECIMAL_REACH)
        ++near;
    bool started = false;
    // The token k by scan_cell_real; false when it is not wholly a number.
    const auto scan_alone = [&](std::size_t k) {
        if (!started) flatten_starts(masks, starts, kernels);
        started = true;
        return scan_whole(base + starts[k], base + ends[k], out[k]);
    };
    for (std::size_t k = 0; k < near; ++k) {
        if (!scan_alone(k)) return {k, false, base + starts[k]};
    }
    std::size_t lefts = 0;
    if (near != tokens) {
        // The last eight filled up with the last token again.
        const std::size_t eights = (tokens - near + 7) / 8 * 8;
        for (std::size_t k = tokens; k < near + eights; ++k)
            ends[k] = ends[tokens - 1];
        T values[STRIDE_TOKENS];
        std::uint32_t left[STRIDE_TOKENS];
        lefts = kernel(base, ends + near, eights, values, left);
        std::copy(values, values + (tokens - near), out + near);
        for (std::size_t i = 0; i < lefts && left[i] < tokens - near; ++i) {
            const std::size_t k = near + left[i];
            if (!scan_alone(k)) return {k, false, base + starts[k]};
        }
    }
    // Where the kernel leaves many (17 digits into doubles, beyond 2^53), the token loop is
    // faster.
    return {tokens, true, tokens == wanted ? base + ends[tokens - 1] : limit, 8 * lefts <= tokens};
}

// Reals: strides of fixed-point decimals, as DEMs are written, in bulk; every other stride by the
// token loop, whose branches predict well on the regular texts of real grids. Kept out of line,
// so that it starts on a cache line: its speed hangs on where its loop falls (6 % on decimal
// grids, measured).
template <typename T>
[[gnu::noinline]] span_parse parse_real_span(const char* first, const char* last, T* out,
                                             std::size_t max_values) {
    const digit_kernels& kernels = active_kernels();
    std::size_t n = 0;
    const char* base = first;
    int patience = 0;  // strides to go before the bulk path is tried again
    while (base != last && n != max_values) {
        const char* limit = stride_limit(base, last, max_values - n);
        const bool long_token = limit == base;
        if (long_token) limit = next_separator(base);
        // A stride that was not all of one shape costs its indexing in vain: the next few are not
        // tried, so that grids of mixed decimals lose almost nothing.
        const bool tried = long_token || patience-- > 0;
        const int places = tried ? 0 : fixed_point_places(base, limit);
        const auto decimals = decimal_kernel<T>(kernels);
        stride_parse bulk{0, false, base};
        bool bulk_tried = false;
        if (places != 0) {
            bulk_tried = true;
            bulk = parse_fixed_point_stride(first, base, limit, places, max_values - n, out + n,
                                            kernels);
            n += bulk.values;
            base = bulk.next;
        }
        // Decimals of other shapes, and what the fixed-point path left of a stride of mixed ones.
        if (!tried && !bulk.whole && decimals != nullptr && starts_decimal(base, limit)) {
            bulk_tried = true;
            bulk = parse_decimal_stride(first, base, limit, max_values - n, out + n, decimals,
                                        kernels);
            n += bulk.values;
            base = bulk.next;
        }
        if (bulk_tried) patience = bulk.whole && bulk.paid ? 0 : PATIENCE;
        if (bulk.whole) {
            if (n == max_values) return {n, false, bulk.next};
            base = limit;
            continue;
        }
        // The rest of the stride token by token.
        const span_parse rest = parse_tokens(base, limit, out + n, max_values - n, scan_cell<T>);
        n += rest.values;
        if (rest.stopped || n == max_values) return {n, rest.stopped, rest.next};
        base = rest.next;
    }
    return {n, false, base};
}

template <typename T>
span_parse parse_span(const char* first, const char* last, T* out, std::size_t max_values) {
    if constexpr (std::is_floating_point_v<T>) {
        return parse_real_span(first, last, out, max_values);
    } else {
        return parse_integer_span(first, last, out, max_values);
    }
}

}  // namespace

span_parse parse_text_span(const char* first, const char* last, element_format format, void* out,
                           std::size_t max_values) {
    span_parse result{0, false, first};
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        result = parse_span<T>(first, last, static_cast<T*>(out), max_values);
    });
    return result;
}

span_parse parse_wide_integer_span(const char* first, const char* last, std::int64_t* out,
                                   std::size_t max_values) {
    return parse_integer_span(first, last, out, max_values);
}

span_parse parse_rounded_span(const char* first, const char* last, std::int64_t* out,
                              std::size_t max_values) {
    return parse_tokens(first, last, out, max_values, scan_cell_rounded);
}

bool parse_one_value(std::string_view text, element_format format, void* out) {
    std::string padded(text);
    padded.push_back(' ');  // a span ends in white space, and its slack follows
    const std::size_t size = padded.size();
    padded.append(SPAN_SLACK, '\0');
    unsigned char values[2 * 8];
    const span_parse parsed =
        parse_text_span(padded.data(), padded.data() + size, format, values, 2);
    if (parsed.stopped || parsed.values != 1) return false;
    std::memcpy(out, values, width_of(format));
    return true;
}
