// Parsers of the text of header counts and cell values. The cell parsers are shaped like
// from_chars: they start at the first character of a token and stop at the first character that
// does not continue the number. The caller decides whether the token was consumed whole (the stop
// must be a delimiter). They rely on a character that is not part of a number following the token
// (white space or a NUL).
#pragma once

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "chars.h"

// A header count, converted as strtol with base 0 converts it (0x hexadecimal, leading 0 octal,
// else decimal), saturating at the 32-bit range. ok is false when nothing was converted or
// anything but the number is left.
struct integer_scan {
    std::int32_t value;
    bool ok;
};
integer_scan scan_integer(std::string_view text);

// scan_integer one character at a time, for a token of any length.
struct count_scanner {
    enum stage_t { leading_space, first_digit, after_zero, after_hex_mark, digits, refused };
    stage_t stage = leading_space;
    bool negative = false;
    int base = 10;
    std::uint64_t magnitude = 0;  // saturates at 2^31
};
void feed_count(count_scanner& scanner, char c);
integer_scan finish_count(const count_scanner& scanner);

template <typename T>
struct number_scan {
    T value;
    const char* end;
    bool ok;
};

// Past a decimal point followed only by zeros, as tools write whole values ("107.0", "3."); a
// zero there counts as a digit.
[[gnu::always_inline]] inline const char* past_zero_fraction(const char* p, bool& any_digit) {
    if (*p == '.') {
        ++p;
        while (*p == '0') {
            ++p;
            any_digit = true;
        }
    }
    return p;
}

// The digits of an exponent, after its mark and an optional sign, into exponent (saturating above
// a million, far past every finite value); nullptr when no digit follows.
[[gnu::always_inline]] inline const char* scan_exponent(const char* q, std::int64_t& exponent) {
    bool negative = false;
    if (*q == '-' || *q == '+') negative = *q++ == '-';
    if (!is_digit(*q)) return nullptr;
    exponent = 0;
    for (; is_digit(*q); ++q) {
        if (exponent < 1000000) exponent = exponent * 10 + (*q - '0');
    }
    if (negative) exponent = -exponent;
    return q;
}

// An integer cell: an optional sign, decimal digits, and optionally a decimal point followed only
// by zeros ("107.0", "3."), since tools write whole values that way. The value wraps modulo 2^32;
// the caller keeps as many low bits as its type has.
inline number_scan<std::uint32_t> scan_cell_integer(const char* p) {
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    std::uint32_t value = 0;
    const char* digits = p;
    for (unsigned d; (d = digit_value(*p)) <= 9; ++p)
        value = value * 10 + d;
    bool any_digit = p != digits;
    p = past_zero_fraction(p, any_digit);
    return {negative ? 0u - value : value, p, any_digit};
}

// Integers as the narrowing checks see them, whatever their length: exact while the magnitude is
// under WIDE_BEYOND; from it on, WIDE_BEYOND plus the magnitude modulo 2^32, so that the low 32
// bits are still the wrapped value and the value is outside the range of every format.
inline constexpr std::uint64_t WIDE_BEYOND = std::uint64_t(1) << 40;

struct wide_magnitude {
    std::uint64_t exact = 0;  // saturates at WIDE_BEYOND
    std::uint32_t low = 0;    // modulo 2^32
};

inline void add_digit(wide_magnitude& m, unsigned digit) {
    m.low = m.low * 10 + digit;
    m.exact = m.exact < WIDE_BEYOND ? std::min(m.exact * 10 + digit, WIDE_BEYOND) : WIDE_BEYOND;
}

inline std::int64_t wide_value(const wide_magnitude& m, bool negative) {
    const auto magnitude =
        static_cast<std::int64_t>(m.exact < WIDE_BEYOND ? m.exact : WIDE_BEYOND + m.low);
    return negative ? -magnitude : magnitude;
}

// scan_cell_integer into a wide value.
inline number_scan<std::int64_t> scan_cell_integer_wide(const char* p) {
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    wide_magnitude m;
    const char* digits = p;
    for (unsigned d; (d = digit_value(*p)) <= 9; ++p)
        add_digit(m, d);
    bool any_digit = p != digits;
    p = past_zero_fraction(p, any_digit);
    return {wide_value(m, negative), p, any_digit};
}

// A real cell (digits with an optional point, an optional exponent; no words) rounded to the
// nearest integer, halves away from zero, on its decimal digits: only the first digit after the
// point decides, so 0.49999999999999999999 is 0 and 2.5 is 3. A wide value.
number_scan<std::int64_t> scan_cell_rounded(const char* p);

// The slow path of scan_cell_real: every valid number in [body, last) that the fast path does not
// finish exactly.
number_scan<float> scan_real_exact(const char* body, const char* last, bool negative, float);
number_scan<double> scan_real_exact(const char* body, const char* last, bool negative, double);

// The words nan, inf and infinity in any letter case; ok is false when body holds none of them.
template <typename T>
number_scan<T> scan_real_word(const char* body, bool negative);

#if (defined(__x86_64__) || defined(_M_X64)) && LDBL_MANT_DIG == 64
// Whether long double arithmetic here keeps all 64 bits of the x87 extended format, as it does
// unless something lowered the unit's precision or an emulator (valgrind) computes it as double.
// Probed as the program starts; false until then, so that the exact path decides.
extern const bool EXTENDED_ARITHMETIC_HOLDS;
#endif

// The magnitude mantissa x 10^exp10 (of digits significant digits) into value, correctly rounded,
// where plain floating-point arithmetic can do it; false when the exact path must.
template <typename T>
[[gnu::always_inline]] inline bool fast_real(std::uint64_t mantissa, std::int64_t digits,
                                             std::int64_t exp10, T& value) {
#if FLT_EVAL_METHOD == 0 || !defined(FLT_EVAL_METHOD)
    // One correctly rounded operation on exact operands gives the correctly rounded result. That
    // needs arithmetic in T's own precision, without x87 excess precision.
    constexpr std::uint64_t exact_mantissa = std::uint64_t(1) << std::numeric_limits<T>::digits;
    constexpr int exact_power = sizeof(T) == 4 ? 10 : 22;
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (digits <= 19 && mantissa <= exact_mantissa && exp10 >= -exact_power &&
        exp10 <= exact_power) {
        value = static_cast<T>(static_cast<std::int64_t>(mantissa));  // one signed convert
        const T power = static_cast<T>(powers[exp10 < 0 ? -exp10 : exp10]);
        value = exp10 < 0 ? value / power : value * power;
        return true;
    }
    if constexpr (sizeof(T) == 4) {
        // Longer mantissas, as in "1520.2239990234375": double arithmetic is within two units of
        // its last place, which decides the float unless that lands next to a midpoint between
        // two floats. All these values are normal floats, so the midpoints sit where the 29 bits
        // a double has beyond a float read exactly 2^28.
        if (digits <= 19 && exp10 >= -22 && exp10 <= 22) {
            double wide = static_cast<double>(mantissa);
            wide = exp10 < 0 ? wide / powers[-exp10] : wide * powers[exp10];
            std::uint64_t bits;
            std::memcpy(&bits, &wide, sizeof bits);
            const std::uint64_t beyond = bits & ((std::uint64_t(1) << 29) - 1);
            const std::uint64_t midpoint = std::uint64_t(1) << 28;
            if (beyond + 8 < midpoint || beyond > midpoint + 8) {
                value = static_cast<T>(wide);
                return true;
            }
        }
    }
#if (defined(__x86_64__) || defined(_M_X64)) && LDBL_MANT_DIG == 64
    if constexpr (sizeof(T) == 8) {
        // Mantissas beyond 2^53, as GDAL's 17 digits often are: the x87 extended format keeps all
        // 64 bits of them, and 10^27 is exact in it, so one operation is within half a unit of
        // its last place. That decides the double unless it lands next to a midpoint between two
        // doubles, where the 11 bits the extended mantissa has beyond a double's read 2^10.
        static constexpr long double long_powers[] = {
            1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
            1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L,
            1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};
        if (digits <= 19 && exp10 >= -27 && exp10 <= 27 && EXTENDED_ARITHMETIC_HOLDS) {
            long double wide = static_cast<long double>(mantissa);
            const long double power = long_powers[exp10 < 0 ? -exp10 : exp10];
            wide = exp10 < 0 ? wide / power : wide * power;
            std::uint64_t bits;  // the explicit 64-bit mantissa, first in the format
            std::memcpy(&bits, &wide, sizeof bits);
            const std::uint64_t beyond = bits & ((std::uint64_t(1) << 11) - 1);
            const std::uint64_t midpoint = std::uint64_t(1) << 10;
            if (beyond + 2 < midpoint || beyond > midpoint + 2) {
                value = static_cast<T>(wide);
                return true;
            }
        }
    }
#endif
#else
    (void)mantissa;
    (void)digits;
    (void)exp10;
    (void)value;
#endif
    return false;
}

// A float or double cell: an optional sign, digits with an optional decimal point (at least one
// digit), an optional exponent; or nan, inf, infinity in any case. Correctly rounded to T itself,
// never through a wider type; beyond T's range it becomes an infinity or a zero.
template <typename T>
[[gnu::always_inline]] inline number_scan<T> scan_cell_real(const char* first) {
    const char* p = first;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    const char* body = p;
    // Up to 19 digits fit the mantissa exactly; longer ones are counted and left to the exact path.
    std::uint64_t mantissa = 0;
    for (unsigned d; (d = digit_value(*p)) <= 9; ++p)
        mantissa = mantissa * 10 + d;
    std::int64_t digits = p - body;
    std::int64_t exp10 = 0;
    if (*p == '.') {
        const char* fraction = ++p;
        for (unsigned d; (d = digit_value(*p)) <= 9; ++p)
            mantissa = mantissa * 10 + d;
        exp10 = fraction - p;
        digits -= exp10;
    }
    if (digits == 0) return scan_real_word<T>(body, negative);
    if ((*p | 0x20) == 'e') {
        std::int64_t exponent = 0;
        const char* q = scan_exponent(p + 1, exponent);
        if (q == nullptr) return {T(0), p, false};
        exp10 += exponent;
        p = q;
    }
    T value{};
    if (fast_real(mantissa, digits, exp10, value)) return {negative ? -value : value, p, true};
    return scan_real_exact(body, p, negative, T{});
}

// Eight bytes from p, the first in the lowest byte, on every host.
inline std::uint64_t load_eight(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        std::uint64_t swapped = 0;
        for (int i = 0; i < 8; ++i, word >>= 8)
            swapped = (swapped << 8) | (word & 0xFF);
        word = swapped;
    }
    return word;
}

// How many of the eight bytes of word, from its lowest, are decimal digits before one that is not.
inline int leading_digits(std::uint64_t word) {
    const std::uint64_t x = word ^ 0x3030303030303030;  // digits become 0 to 9
    // A byte's high bit ends up set where it is above 9: by adding 0x76, or set already.
    const std::uint64_t above =
        (((x & 0x7F7F7F7F7F7F7F7F) + 0x7676767676767676) | x) & 0x8080808080808080;
    return above == 0 ? 8 : std::countr_zero(above) / 8;
}

// The value of eight digit values 0 to 9 in the bytes of v, the most significant in the lowest.
inline std::uint32_t eight_digit_value(std::uint64_t v) {
    v = v * 10 + (v >> 8);  // the low byte of each 16-bit lane: a two-digit value
    v = ((v & 0x000000FF000000FF) * (100 + (std::uint64_t(1000000) << 32)) +
         ((v >> 16) & 0x000000FF000000FF) * (1 + (std::uint64_t(10000) << 32))) >>
        32;
    return static_cast<std::uint32_t>(v);
}

// The value of the first count (1 to 8) digits of word, converted together.
inline std::uint32_t digits_value(std::uint64_t word, int count) {
    return eight_digit_value((word ^ 0x3030303030303030) << (64 - 8 * count));  // zeros lead
}

// A short integer cell whose end last is already known, converted without a loop over its
// characters: an optional sign and one to eight digits. Reads 9 bytes from first, which must be
// readable. False for every other token, which scan_cell_integer then decides; where both take a
// token they agree.
inline bool scan_short_integer(const char* first, const char* last, std::uint32_t& value) {
    const bool negative = *first == '-';
    const char* digits = first + ((negative || *first == '+') ? 1 : 0);
    const std::uint64_t word = load_eight(digits);
    const int count = leading_digits(word);
    if (count == 0 || digits + count != last) return false;
    const std::uint32_t magnitude = digits_value(word, count);
    value = negative ? 0u - magnitude : magnitude;
    return true;
}

// Carries a token too long for the reader's buffer through in pieces and leaves a short text with
// the same value: integers as their wide value (the same low bits, the same range), reals as at
// most 800 significant digits plus a sticky digit (enough to round every float and double exactly)
// and a combined exponent; reals to be rounded (--round) as the wide value they round to, for which
// the last digits and those around the point are kept too (10^32 is 0 modulo 2^32, so the 32
// digits before the point and the one after it decide the wrap and the rounding).
struct long_token {
    bool integral = false;
    bool rounded = false;
    int stage = 0;  // 0 sign, 1 integer digits, 2 fraction digits, 3 exponent sign, 4 exponent
    bool negative = false;
    bool bad = false;
    bool any_digit = false;
    bool exp_digit = false;
    bool exp_negative = false;
    wide_magnitude magnitude;  // of an integer
    std::string significant;
    bool sticky = false;
    std::int64_t point = 0;  // decimal exponent of the point relative to the significant digits
    std::int64_t exponent = 0;
    std::int64_t counted = 0;         // digits from the first significant one on, kept or not
    char last_digits[33] = {};        // the last of them, digit k at k % 33
    char point_digits[33] = {};       // the same when the first digit after the point came
    std::int64_t point_counted = -1;  // counted then; -1 before
};

void feed_long_token(long_token& token, const char* first, const char* last);
std::string finish_long_token(const long_token& token);
