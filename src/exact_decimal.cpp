#include "exact_decimal.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "chars.h"

namespace {

// An exact decimal: digits (most significant first, no leading zeros; empty for zero) times ten
// to the exponent. Coordinates are shifted by half cells without ever rounding.
struct decimal {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

constexpr int EXPONENT_BOUND = 400;

void trim(decimal& d) {
    const std::size_t first = d.digits.find_first_not_of('0');
    d.digits.erase(0, first == std::string::npos ? d.digits.size() : first);
    if (d.digits.empty()) d.negative = false;
}

// An optional sign, digits with an optional point, an optional exponent; nothing else.
std::optional<decimal> parse_decimal(std::string_view text) {
    decimal d;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) d.negative = text[i++] == '-';
    bool any_digit = false;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (is_digit(text[i])) {
            d.digits += text[i];
            any_digit = true;
            if (point) --d.exponent;
        } else if (text[i] == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!any_digit) return std::nullopt;
    if (i < text.size() && (text[i] | 0x20) == 'e') {
        int exponent = 0;
        const char* end = text.data() + text.size();
        const char* at = text.data() + i + 1;
        if (at != end && *at == '+') ++at;
        const auto [ptr, ec] = std::from_chars(at, end, exponent);
        if (ec != std::errc{} || ptr != end) return std::nullopt;
        d.exponent += exponent;
    } else if (i != text.size()) {
        return std::nullopt;
    }
    if (d.exponent < -EXPONENT_BOUND || d.exponent > EXPONENT_BOUND) return std::nullopt;
    trim(d);
    return d;
}

// d times a factor below 10^9, whose digit products and carries stay far inside 64 bits.
decimal times_small(decimal d, std::uint64_t factor) {
    std::string product(d.digits.size() + 20, '0');
    std::uint64_t carry = 0;
    std::size_t at = product.size();
    for (std::size_t i = d.digits.size(); i-- > 0;) {
        carry += static_cast<std::uint64_t>(d.digits[i] - '0') * factor;
        product[--at] = static_cast<char>('0' + carry % 10);
        carry /= 10;
    }
    while (carry != 0) {
        product[--at] = static_cast<char>('0' + carry % 10);
        carry /= 10;
    }
    d.digits = product;
    trim(d);
    return d;
}

// The digits of d written with exponent as their last place (exponent <= d.exponent).
std::string aligned(const decimal& d, int exponent) {
    return d.digits + std::string(static_cast<std::size_t>(d.exponent - exponent), '0');
}

// a - b for digit strings of equal length with a >= b.
std::string subtract(const std::string& a, const std::string& b) {
    std::string result(a.size(), '0');
    int borrow = 0;
    for (std::size_t i = a.size(); i-- > 0;) {
        int digit = (a[i] - '0') - (b[i] - '0') - borrow;
        borrow = digit < 0 ? 1 : 0;
        result[i] = static_cast<char>('0' + digit + 10 * borrow);
    }
    return result;
}

std::string add(const std::string& a, const std::string& b) {
    std::string result(a.size() + 1, '0');
    int carry = 0;
    for (std::size_t i = a.size(); i-- > 0;) {
        const int digit = (a[i] - '0') + (b[i] - '0') + carry;
        carry = digit / 10;
        result[i + 1] = static_cast<char>('0' + digit % 10);
    }
    result[0] = static_cast<char>('0' + carry);
    return result;
}

decimal plus(const decimal& a, const decimal& b) {
    const int exponent = std::min(a.exponent, b.exponent);
    std::string x = aligned(a, exponent);
    std::string y = aligned(b, exponent);
    const std::size_t width = std::max(x.size(), y.size());
    x.insert(0, width - x.size(), '0');
    y.insert(0, width - y.size(), '0');
    decimal sum;
    sum.exponent = exponent;
    if (a.negative == b.negative) {
        sum.digits = add(x, y);
        sum.negative = a.negative;
    } else if (x >= y) {
        sum.digits = subtract(x, y);
        sum.negative = a.negative;
    } else {
        sum.digits = subtract(y, x);
        sum.negative = b.negative;
    }
    trim(sum);
    return sum;
}

// d times any factor: its high and low nine digits apart, so that nothing wraps.
decimal times(const decimal& d, std::uint64_t factor) {
    constexpr std::uint64_t billion = 1000000000;
    decimal high = times_small(d, factor / billion / billion);
    high.exponent += 9;
    high = plus(high, times_small(d, factor / billion % billion));
    high.exponent += 9;
    return plus(high, times_small(d, factor % billion));
}

std::string to_text(const decimal& d) {
    if (d.digits.empty()) return "0";
    std::string text = d.negative ? "-" : "";
    if (d.exponent >= 0) {
        return text.append(d.digits).append(static_cast<std::size_t>(d.exponent), '0');
    }
    const auto fraction_size = static_cast<std::size_t>(-d.exponent);
    std::string digits(fraction_size >= d.digits.size() ? fraction_size - d.digits.size() + 1 : 0,
                       '0');
    digits.append(d.digits);
    const std::size_t point = digits.size() - fraction_size;
    std::string_view fraction = std::string_view(digits).substr(point);
    fraction = fraction.substr(0, fraction.find_last_not_of('0') + 1);
    text.append(digits, 0, point);
    if (!fraction.empty()) text.append(".").append(fraction);
    return text;
}

double to_double(const decimal& d) {
    return std::strtod(to_text(d).c_str(), nullptr);
}

decimal negated(decimal d) {
    if (!d.digits.empty()) d.negative = !d.negative;
    return d;
}

// d times a whole number of either sign.
decimal times_signed(const decimal& d, std::int64_t factor) {
    const std::uint64_t magnitude = factor < 0
                                        ? std::uint64_t(0) - static_cast<std::uint64_t>(factor)
                                        : static_cast<std::uint64_t>(factor);
    const decimal product = times(d, magnitude);
    return factor < 0 ? negated(product) : product;
}

}  // namespace

std::string product_text(std::uint64_t a, std::uint64_t b) {
    decimal d;
    d.digits = std::to_string(a);
    trim(d);
    return to_text(times(d, b));
}

bool same_number(std::string_view a, std::string_view b) {
    const std::optional<decimal> x = parse_decimal(a);
    std::optional<decimal> y = parse_decimal(b);
    if (!x || !y) return false;
    y->negative = !y->negative;
    return plus(*x, *y).digits.empty();
}

bool is_decimal(std::string_view text) {
    return parse_decimal(text).has_value();
}

std::optional<std::string> shifted_by_halves(std::string_view value, std::string_view size,
                                             std::int64_t halves) {
    const std::optional<decimal> v = parse_decimal(value);
    const std::optional<decimal> s = parse_decimal(size);
    if (!v || !s) return std::nullopt;
    const std::uint64_t magnitude = halves < 0
                                        ? std::uint64_t(0) - static_cast<std::uint64_t>(halves)
                                        : static_cast<std::uint64_t>(halves);
    decimal shift = times(times(*s, magnitude), 5);
    shift.exponent -= 1;
    if (halves < 0 && !shift.digits.empty()) shift.negative = !shift.negative;
    return to_text(plus(*v, shift));
}

bool is_positive(std::string_view text) {
    const std::optional<decimal> d = parse_decimal(text);
    return d && !d->negative && !d->digits.empty();
}

std::optional<lattice_offset> offset_on_lattice(std::string_view origin, std::string_view value,
                                                std::string_view size) {
    const std::optional<decimal> o = parse_decimal(origin);
    const std::optional<decimal> v = parse_decimal(value);
    const std::optional<decimal> s = parse_decimal(size);
    if (!o || !v || !s || s->digits.empty()) return std::nullopt;
    const decimal distance = plus(*v, negated(*o));
    const double step = to_double(*s);
    const double estimate = to_double(distance) / step;
    constexpr double LIMIT = 9007199254740992.0;  // 2^53
    if (!(std::fabs(estimate) < LIMIT)) return std::nullopt;
    // The estimate is off by far less than a cell; the exact remainder decides the nearest point,
    // and half a cell keeps the sign of the distance.
    lattice_offset offset;
    offset.cells = static_cast<std::int64_t>(std::trunc(estimate));
    decimal left = plus(distance, negated(times_signed(*s, offset.cells)));
    offset.remainder = to_double(left) / step;
    if (std::fabs(offset.remainder) > 0.5) {
        const std::int64_t step_back = offset.remainder > 0 ? 1 : -1;
        offset.cells += step_back;
        left = plus(left, negated(times_signed(*s, step_back)));
        offset.remainder = to_double(left) / step;
    }
    offset.exact = left.digits.empty();
    if (offset.exact) offset.remainder = 0;
    return offset;
}
