#include "text_number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <system_error>

namespace {

bool matches_word(const char* p, const char* word) {
    for (; *word != '\0'; ++p, ++word) {
        if ((*p | 0x20) != *word) return false;
    }
    return true;
}

// Whether a number out of T's range lies above it (rather than below): its leading digit sits
// at a positive decimal position.
bool above_range(const char* body, const char* last) {
    std::int64_t position = 0;
    const char* p = body;
    for (; p != last && is_digit(*p); ++p) {
        if (*p != '0' || position != 0) ++position;
    }
    if (position == 0 && p != last && *p == '.') {
        for (++p; p != last && *p == '0'; ++p)
            --position;
    }
    p = std::find_if(p, last, [](char c) { return (c | 0x20) == 'e'; });
    if (p != last) {
        const bool negative = *++p == '-';
        std::int64_t exponent = 0;
        for (p += (*p == '-' || *p == '+') ? 1 : 0; p != last; ++p) {
            exponent = std::min<std::int64_t>(exponent * 10 + (*p - '0'), 1000000000);
        }
        position += negative ? -exponent : exponent;
    }
    return position > 0;
}

template <typename T>
number_scan<T> exact_real(const char* body, const char* last, bool negative) {
    T value{};
    const auto [ptr, ec] = std::from_chars(body, last, value, std::chars_format::general);
    if (ptr != last || ec == std::errc::invalid_argument) return {T(0), body, false};
    // from_chars leaves the value alone out of range; strtod's answer is an infinity above the
    // range and a zero below it.
    if (ec == std::errc::result_out_of_range) {
        value = above_range(body, last) ? std::numeric_limits<T>::infinity() : T(0);
    }
    return {negative ? -value : value, last, true};
}

}  // namespace

void feed_count(count_scanner& scanner, char c) {
    using stage_t = count_scanner::stage_t;
    const int digit = base16_digit_value(c);
    switch (scanner.stage) {
        case stage_t::leading_space:
            if (is_space(c)) return;
            if (c == '+' || c == '-') {
                scanner.negative = c == '-';
                scanner.stage = stage_t::first_digit;
                return;
            }
            [[fallthrough]];
        case stage_t::first_digit:
            if (c == '0') {
                scanner.base = 8;
                scanner.stage = stage_t::after_zero;
                return;
            }
            scanner.stage = digit < 10 ? stage_t::digits : stage_t::refused;
            break;
        case stage_t::after_zero:
            if ((c | 0x20) == 'x') {
                scanner.stage = stage_t::after_hex_mark;
                return;
            }
            scanner.stage = stage_t::digits;
            break;
        case stage_t::after_hex_mark:
            // "0x" and no hex digit: strtol takes the 0 and leaves the x, so it is not whole.
            scanner.base = 16;
            scanner.stage = digit < 16 ? stage_t::digits : stage_t::refused;
            break;
        case stage_t::digits: break;
        case stage_t::refused: return;
    }
    if (scanner.stage != stage_t::digits) return;
    if (digit >= scanner.base) {
        scanner.stage = stage_t::refused;
        return;
    }
    constexpr std::uint64_t saturated = std::uint64_t(1) << 31;
    scanner.magnitude = std::min(
        scanner.magnitude * static_cast<unsigned>(scanner.base) + static_cast<unsigned>(digit),
        saturated);
}

integer_scan finish_count(const count_scanner& scanner) {
    const bool ok =
        scanner.stage == count_scanner::after_zero || scanner.stage == count_scanner::digits;
    const auto magnitude = static_cast<std::int64_t>(scanner.magnitude);
    const std::int64_t value =
        std::clamp<std::int64_t>(scanner.negative ? -magnitude : magnitude, INT32_MIN, INT32_MAX);
    return {static_cast<std::int32_t>(value), ok};
}

integer_scan scan_integer(std::string_view text) {
    count_scanner scanner;
    for (const char c : text)
        feed_count(scanner, c);
    return finish_count(scanner);
}

#if (defined(__x86_64__) || defined(_M_X64)) && LDBL_MANT_DIG == 64
namespace {

bool probe_extended_arithmetic() {
    // Volatile, so that the compiler leaves the sums to the run.
    volatile std::uint64_t odd = (std::uint64_t(1) << 63) + 1;
    volatile long double big = 0x1p63L;
    volatile long double one = 1;
    const long double converted = odd;
    const long double sum = big + one;
    return converted - big == 1 && sum - big == 1;
}

}  // namespace

extern const bool EXTENDED_ARITHMETIC_HOLDS = probe_extended_arithmetic();
#endif

number_scan<float> scan_real_exact(const char* body, const char* last, bool negative, float) {
    return exact_real<float>(body, last, negative);
}

number_scan<double> scan_real_exact(const char* body, const char* last, bool negative, double) {
    return exact_real<double>(body, last, negative);
}

template <typename T>
number_scan<T> scan_real_word(const char* body, bool negative) {
    const T sign = negative ? T(-1) : T(1);
    if (matches_word(body, "infinity")) {
        return {sign * std::numeric_limits<T>::infinity(), body + 8, true};
    }
    if (matches_word(body, "inf"))
        return {sign * std::numeric_limits<T>::infinity(), body + 3, true};
    if (matches_word(body, "nan")) {
        return {std::copysign(std::numeric_limits<T>::quiet_NaN(), sign), body + 3, true};
    }
    return {T(0), body, false};
}

number_scan<std::int64_t> scan_cell_rounded(const char* p) {
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    const char* integer = p;
    // The common shape first: up to 12 digits, a point and a fraction, no exponent.
    std::uint64_t quick = 0;
    for (unsigned d; (d = digit_value(*p)) <= 9; ++p)
        quick = quick * 10 + d;
    const std::int64_t integer_digits = p - integer;
    if (integer_digits <= 12) {
        const char* q = p;
        unsigned tenths = 0;
        bool any = integer_digits != 0;
        if (*q == '.' && digit_value(q[1]) <= 9) {
            tenths = digit_value(*++q);
            while (is_digit(*q))
                ++q;
            any = true;
        } else if (*q == '.') {
            ++q;
        }
        if (any && (*q | 0x20) != 'e') {
            const auto value = static_cast<std::int64_t>(quick + (tenths >= 5 ? 1 : 0));
            return {negative ? -value : value, q, true};
        }
    }
    const char* fraction = p;
    if (*p == '.') {
        fraction = ++p;
        while (is_digit(*p))
            ++p;
    }
    const std::int64_t digits = integer_digits + (p - fraction);
    if (digits == 0) return {0, p, false};
    std::int64_t exponent = 0;
    if ((*p | 0x20) == 'e') {
        const char* q = scan_exponent(p + 1, exponent);
        if (q == nullptr) return {0, p, false};
        p = q;
    }
    // The digits, the point left out, and where the exponent puts the point among them.
    const auto digit_at = [&](std::int64_t i) {
        return digit_value(i < integer_digits ? integer[i] : fraction[i - integer_digits]);
    };
    const std::int64_t whole = integer_digits + exponent;
    wide_magnitude m;
    for (std::int64_t i = 0; i < std::min(whole, digits); ++i)
        add_digit(m, digit_at(i));
    // Zeros past the last digit: after 40 the magnitude is beyond, and its low 32 bits are 0.
    for (std::int64_t i = digits; i < std::min(whole, digits + 64); ++i)
        add_digit(m, 0);
    if (whole >= 0 && whole < digits && digit_at(whole) >= 5) {
        m.low += 1;
        m.exact = std::min(m.exact + 1, WIDE_BEYOND);
    }
    return {wide_value(m, negative), p, true};
}

template number_scan<float> scan_real_word<float>(const char*, bool);
template number_scan<double> scan_real_word<double>(const char*, bool);

namespace {

constexpr std::size_t MAX_SIGNIFICANT = 800;
constexpr std::int64_t EXPONENT_CAP = 1000000000;

void add_real_digit(long_token& token, int digit, bool integer_part) {
    if (token.significant.empty() && digit == 0) {
        if (!integer_part) --token.point;
        return;
    }
    if (integer_part) ++token.point;
    const auto kept = static_cast<std::size_t>(token.counted++) % std::size(token.last_digits);
    token.last_digits[kept] = static_cast<char>(digit);
    if (!integer_part && token.point_counted < 0) {
        std::copy(std::begin(token.last_digits), std::end(token.last_digits), token.point_digits);
        token.point_counted = token.counted;
    }
    if (token.significant.size() < MAX_SIGNIFICANT) {
        token.significant += static_cast<char>('0' + digit);
    } else if (digit != 0) {
        token.sticky = true;
    }
}

void feed_char(long_token& token, char c) {
    const bool digit = is_digit(c);
    const bool exponent_mark = (c == 'e' || c == 'E') && !token.integral;
    switch (token.stage) {
        case 0:
            token.stage = 1;
            if (c == '-' || c == '+') {
                token.negative = c == '-';
                return;
            }
            [[fallthrough]];
        case 1:
        case 2:
            if (digit) {
                const int d = c - '0';
                token.any_digit = true;
                if (!token.integral) {
                    add_real_digit(token, d, token.stage == 1);
                } else if (token.stage == 1) {
                    add_digit(token.magnitude, static_cast<unsigned>(d));
                } else if (d != 0) {
                    token.bad = true;
                }
            } else if (c == '.' && token.stage == 1) {
                token.stage = 2;
            } else if (exponent_mark && token.any_digit) {
                token.stage = 3;
            } else {
                token.bad = true;
            }
            return;
        case 3:
            token.stage = 4;
            if (c == '-' || c == '+') {
                token.exp_negative = c == '-';
                return;
            }
            [[fallthrough]];
        default:
            if (!digit) {
                token.bad = true;
                return;
            }
            token.exp_digit = true;
            token.exponent = std::min(token.exponent * 10 + (c - '0'), EXPONENT_CAP);
    }
}

// The wide value a real long token rounds to, halves away from zero, as scan_cell_rounded gives
// it; false where a digit that decides it was kept nowhere (a point that the exponent moves deep
// into a token longer than a chunk, away from where it was written and from the end).
bool rounded_value(const long_token& token, std::int64_t& value) {
    const std::int64_t exponent = token.exp_negative ? -token.exponent : token.exponent;
    const std::int64_t whole = token.point + exponent;  // digits before the point
    const auto last = static_cast<std::int64_t>(std::size(token.last_digits));
    bool known = true;
    const auto digit_at = [&](std::int64_t k) -> unsigned {
        if (k < 0 || k >= token.counted) return 0;
        if (k < static_cast<std::int64_t>(token.significant.size())) {
            return static_cast<unsigned>(token.significant[static_cast<std::size_t>(k)] - '0');
        }
        if (k >= token.counted - last) {
            return static_cast<unsigned>(token.last_digits[static_cast<std::size_t>(k % last)]);
        }
        if (k < token.point_counted && k >= token.point_counted - last) {
            return static_cast<unsigned>(token.point_digits[static_cast<std::size_t>(k % last)]);
        }
        known = false;
        return 0;
    };
    wide_magnitude m;
    if (whole > 13) m.exact = WIDE_BEYOND;  // at least 10^13
    for (std::int64_t k = std::max<std::int64_t>(whole - 32, 0); k < whole; ++k)
        add_digit(m, digit_at(k));
    if (digit_at(whole) >= 5) {
        m.low += 1;
        m.exact = std::min(m.exact + 1, WIDE_BEYOND);
    }
    value = wide_value(m, false);
    return known;
}

}  // namespace

void feed_long_token(long_token& token, const char* first, const char* last) {
    for (; first != last && !token.bad; ++first)
        feed_char(token, *first);
}

std::string finish_long_token(const long_token& token) {
    if (token.bad || !token.any_digit || (token.stage >= 3 && !token.exp_digit)) return "?";
    std::string text = token.negative ? "-" : "";
    if (token.integral) return text + std::to_string(wide_value(token.magnitude, false));
    if (std::int64_t rounded = 0; token.rounded) {
        return rounded_value(token, rounded) ? text + std::to_string(rounded) : "?";
    }
    if (token.significant.empty()) return text + "0";
    const std::int64_t exponent = token.exp_negative ? -token.exponent : token.exponent;
    text += "0." + token.significant + (token.sticky ? "1" : "") + "e";
    return text + std::to_string(std::clamp(token.point + exponent, -EXPONENT_CAP, EXPONENT_CAP));
}
