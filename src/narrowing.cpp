#include "narrowing.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

#include "text_number.h"

namespace {

double as_double(element_format format, const unsigned char* element);

// The number text as format stores it (integers wrapped as the parser wraps them), as a double;
// nothing when the text is not wholly one number of that kind.
std::optional<double> stored_as(element_format format, const std::string& text) {
    unsigned char stored[8];
    if (!parse_one_value(text, format, stored)) return std::nullopt;
    return as_double(format, stored);
}

std::optional<std::int64_t> wide_of(const std::string& text, bool round) {
    const std::string token = text + " ";
    const number_scan<std::int64_t> scan =
        round ? scan_cell_rounded(token.c_str()) : scan_cell_integer_wide(token.c_str());
    if (!scan.ok || *scan.end != ' ') return std::nullopt;
    return scan.value;
}

// A number in the float syntax (no words) taken apart: its digits with the point left out, its
// sign, and how many digits stand before the point once the exponent has moved it (any count,
// negative too).
struct decimal_digits {
    bool negative = false;
    std::string digits;
    std::int64_t whole = 0;
};

std::optional<decimal_digits> digits_of(std::string_view text) {
    decimal_digits d;
    std::size_t i = 0;
    const auto digit_at = [&](std::size_t at) { return at < text.size() && is_digit(text[at]); };
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) d.negative = text[i++] == '-';
    for (; digit_at(i); ++i)
        d.digits += text[i];
    d.whole = static_cast<std::int64_t>(d.digits.size());
    if (i < text.size() && text[i] == '.') {
        for (++i; digit_at(i); ++i)
            d.digits += text[i];
    }
    if (d.digits.empty()) return std::nullopt;
    if (i < text.size() && (text[i] | 0x20) == 'e') {
        bool negative = false;
        if (++i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
        if (!digit_at(i)) return std::nullopt;
        std::int64_t exponent = 0;
        for (; digit_at(i); ++i)  // capped far past any digit count a token can have
            exponent = std::min<std::int64_t>(exponent * 10 + (text[i] - '0'), 1000000000000);
        d.whole += negative ? -exponent : exponent;
    }
    if (i != text.size()) return std::nullopt;
    return d;
}

// The integer d rounds to, halves away from zero, as text: its sign, its digits without leading
// or trailing zeros, then "e" and the count of trailing zeros; "0" for zero. Two numbers round to
// the same integer exactly when these texts agree, however long the integer.
std::string rounded_whole(const decimal_digits& d) {
    const auto size = static_cast<std::int64_t>(d.digits.size());
    std::string whole =
        d.digits.substr(0, static_cast<std::size_t>(std::clamp<std::int64_t>(d.whole, 0, size)));
    std::int64_t zeros = std::max<std::int64_t>(d.whole - size, 0);
    if (d.whole >= 0 && d.whole < size && d.digits[static_cast<std::size_t>(d.whole)] >= '5') {
        std::size_t i = whole.size();
        while (i > 0 && whole[i - 1] == '9')
            whole[--i] = '0';
        if (i == 0) {
            whole.insert(whole.begin(), '1');
        } else {
            ++whole[i - 1];
        }
    }
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    if (whole.empty()) return "0";
    while (whole.back() == '0') {
        whole.pop_back();
        ++zeros;
    }
    return (d.negative ? "-" : "") + whole + "e" + std::to_string(zeros);
}

// The integer text names exactly, in any spelling of the float syntax (5, +5, 5.0, 5e0, 50e-1),
// as a wide value; nothing for a text that names no integer.
std::optional<std::int64_t> integer_named_by(const std::string& text) {
    const std::optional<decimal_digits> d = digits_of(text);
    if (!d) return std::nullopt;
    const auto size = static_cast<std::int64_t>(d->digits.size());
    const auto fraction = static_cast<std::size_t>(std::clamp<std::int64_t>(d->whole, 0, size));
    if (d->digits.find_first_not_of('0', fraction) != std::string::npos) return std::nullopt;
    return wide_of(text, true);
}

template <typename T>
bool holds(std::int64_t value) {
    return value >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
           value <= static_cast<std::int64_t>(std::numeric_limits<T>::max());
}

bool in_range(element_format format, std::int64_t value) {
    bool inside = false;
    with_element_type(format,
                      [&](auto tag) { inside = holds<typename decltype(tag)::type>(value); });
    return inside;
}

std::string range_text(element_format format) {
    std::string text;
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        text = std::string(info_of(format).name) + " holds " +
               std::to_string(+std::numeric_limits<T>::lowest()) + " to " +
               std::to_string(+std::numeric_limits<T>::max());
    });
    return text;
}

// Equal as numbers, and NaN equal to NaN: a NaN no-data value marks NaN cells.
bool same(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

failure plan_replacement(const std::string& replacement, element_format target, narrowing& plan) {
    const format_info& info = info_of(target);
    if (info.kind == element_kind::text) {
        return {MSG_BAD_NODATA, replacement + " (an ascii target writes the source's own)"};
    }
    if (info.kind != element_kind::real) {
        const std::optional<std::int64_t> n = integer_named_by(replacement);
        if (!n) {
            return {MSG_BAD_NODATA,
                    replacement + " (write an integer: " + range_text(target) + ")"};
        }
        if (!in_range(target, *n)) {
            return {MSG_BAD_NODATA, replacement + " (" + range_text(target) + ")"};
        }
        plan.replacement_wide = *n;
        plan.replacement_real = static_cast<double>(*n);
        return {};
    }
    // NaN is a no-data value GIS tools know; an infinity is a value cells may hold.
    const std::optional<double> n = stored_as(target, replacement);
    if (!n || std::isinf(*n)) {
        return {MSG_BAD_NODATA, replacement + " (not a finite " + std::string(info.name) + ")"};
    }
    plan.replacement_real = *n;
    return {};
}

// The first of count wide values that would not keep its value in T, or count.
template <typename T>
std::size_t first_change(const std::int64_t* wide, std::size_t count, const narrowing& plan) {
    const bool map = plan.map_nodata;
    const std::int64_t nodata = plan.nodata_wide;
    const std::int64_t replacement = plan.replacement_wide;
    const auto low = static_cast<std::uint64_t>(std::int64_t(std::numeric_limits<T>::lowest()));
    const auto span = static_cast<std::uint64_t>(std::numeric_limits<T>::max()) - low;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t value = wide[i];
        const bool is_nodata = map & (value == nodata);
        const bool outside = static_cast<std::uint64_t>(value) - low > span;
        if ((!is_nodata) & (outside | (map & (value == replacement)))) [[unlikely]] {
            return i;
        }
    }
    return count;
}

// count wide values into T at out, the no-data value as N where asked. A loop of its own, with
// nothing that could stop it, so that the compiler selects rather than branches: no-data cells
// come at random (a branch here cost the Int16 grid 70 %).
template <typename T>
void store_narrowed(const std::int64_t* wide, std::size_t count, const narrowing& plan, T* out) {
    const std::int64_t nodata = plan.map_nodata ? plan.nodata_wide : 0;
    const std::int64_t replacement = plan.map_nodata ? plan.replacement_wide : 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t value = wide[i];
        out[i] = static_cast<T>(value == nodata ? replacement : value);  // keeps the low bits
    }
}

// Whether the token at p is a number written in digits, not a word such as inf.
bool written_in_digits(const char* p) {
    if (*p == '-' || *p == '+') ++p;
    return is_digit(*p) || *p == '.';
}

// The token of cell i of the text from first, walked to from the token of cell at.
const char* token_of(std::size_t i, const char*& token, std::size_t& at) {
    for (;; ++at) {
        while (is_space(*token))
            ++token;
        if (at == i) return token;
        while (!is_space(*token))
            ++token;
    }
}

// Whether any of count reals is infinite or N without being the no-data value: a loop with no
// exit, which the compiler can run on several values at once.
template <typename T>
bool any_suspect(const T* values, std::size_t count, T nodata, T replacement, bool map) {
    const T infinity = std::numeric_limits<T>::infinity();
    int suspect = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const T value = values[i];
        const int is_nodata = map & (value == nodata);
        const int equals_n = map & (value == replacement);
        suspect |= (1 - is_nodata) & (equals_n | (value == infinity) | (value == -infinity));
    }
    return suspect != 0;
}

// The first of count reals parsed into T that would not keep its value, or count; text from
// first, for the tokens of the cells that became infinite.
template <typename T>
std::size_t first_real_change(const T* values, std::size_t count, const narrowing& plan,
                              const char* first) {
    const auto nodata = static_cast<T>(plan.nodata_real);
    const auto replacement = static_cast<T>(plan.replacement_real);
    const bool map = plan.map_nodata;
    const bool nan_nodata = map && std::isnan(nodata);
    const bool nan_n = map && std::isnan(replacement);
    // NaN cells are suspects only where a NaN is N or the no-data value: checked one at a time.
    if (!nan_nodata && !nan_n && !any_suspect(values, count, nodata, replacement, map)) {
        return count;
    }
    const char* token = first;
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const T value = values[i];
        const bool is_nan = value != value;
        const bool is_nodata = map & ((value == nodata) | (nan_nodata & is_nan));
        const bool equals_n = map & ((value == replacement) | (nan_n & is_nan));
        if (!is_nodata && (equals_n || std::isinf(value))) {
            // A finite decimal beyond the format changes; inf written as such is kept.
            if (equals_n || written_in_digits(token_of(i, token, at))) return i;
        }
    }
    return count;
}

// The no-data value as N in count reals, in place; a loop the compiler can turn into selects.
template <typename T>
void map_reals(T* values, std::size_t count, const narrowing& plan) {
    const auto nodata = static_cast<T>(plan.nodata_real);
    const auto replacement = static_cast<T>(plan.replacement_real);
    if (std::isnan(nodata)) {
        for (std::size_t i = 0; i < count; ++i)
            values[i] = values[i] != values[i] ? replacement : values[i];
    } else {
        for (std::size_t i = 0; i < count; ++i)
            values[i] = values[i] == nodata ? replacement : values[i];
    }
}

// Cells whose wide value is the no-data value's only because both lie beyond every format with
// the same low 32 bits: moved 2^32 further out, where they keep those bits and stay beyond. A cell
// that rounds to the no-data value's whole integer keeps it.
void set_apart_lookalikes(const char* first, std::int64_t* wide, std::size_t count,
                          const narrowing& plan) {
    const char* token = first;
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (wide[i] != plan.nodata_wide) continue;
        const char* start = token_of(i, token, at);
        const char* end = start;
        while (!is_space(*end))
            ++end;
        const std::string_view written(start, std::size_t(end - start));
        if (written == plan.nodata_written) continue;
        const std::optional<decimal_digits> d = digits_of(written);
        if (d && rounded_whole(*d) == plan.nodata_whole) continue;
        const std::int64_t further = std::int64_t(1) << 32;
        wide[i] += wide[i] < 0 ? -further : further;
    }
}

// One element of format as a double (every element type but double converts exactly), and back
// as convert_row converts a double.
double as_double(element_format format, const unsigned char* element) {
    double value = 0;
    if (format == FMT_DOUBLE) {
        std::memcpy(&value, element, sizeof value);
    } else {
        convert_row(1, format, element, FMT_DOUBLE, &value);
    }
    return value;
}

void put_double(double value, element_format format, unsigned char* element) {
    if (format == FMT_DOUBLE) {
        std::memcpy(element, &value, sizeof value);
    } else {
        convert_row(1, FMT_DOUBLE, &value, format, element);
    }
}

// A wide value into an element of an integer format, its low bits kept as the cells keep them.
void put_wide(std::int64_t value, element_format format, unsigned char* element) {
    with_element_type(format, [&](auto tag) {
        const auto narrowed = static_cast<typename decltype(tag)::type>(value);
        std::memcpy(element, &narrowed, sizeof narrowed);
    });
}

}  // namespace

std::string element_text(element_format format, const unsigned char* element) {
    std::string shown;
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        T value;
        std::memcpy(&value, element, sizeof value);
        if constexpr (std::is_floating_point_v<T>) {
            char out[64];
            shown.assign(out, std::to_chars(out, out + sizeof out, value).ptr);
        } else {
            shown = std::to_string(value);
        }
    });
    return shown;
}

failure plan_narrowing(bool round, bool strict, const std::string* replacement,
                       element_format target, narrowing& plan) {
    plan = narrowing{};
    const bool integer_target = target != FMT_ASCII && info_of(target).kind != element_kind::real;
    plan.round = round && integer_target;
    plan.strict = strict && target != FMT_ASCII;
    if (replacement == nullptr) return {};
    plan.map_nodata = true;
    return plan_replacement(*replacement, target, plan);
}

failure plan_nodata(const std::string& nodata, element_format source, element_format target,
                    narrowing& plan) {
    if (!plan.map_nodata) return {};
    if (nodata.empty()) return {MSG_NOTHING_TO_MAP, "the source has no NODATA_value"};
    const bool wide = source == FMT_ASCII && info_of(target).kind != element_kind::real;
    if (wide) {
        const std::optional<std::int64_t> value = wide_of(nodata, plan.round);
        if (!value) return {MSG_NOTHING_TO_MAP, "NODATA_value " + nodata + " is no integer"};
        plan.nodata_wide = *value;
        if (*value >= std::int64_t(WIDE_BEYOND) || *value <= -std::int64_t(WIDE_BEYOND)) {
            plan.nodata_whole = rounded_whole(*digits_of(nodata));
            plan.nodata_written = nodata;
        }
        return {};
    }
    const element_format stored = source == FMT_ASCII ? target : source;
    const std::optional<double> value = stored_as(stored, nodata);
    if (!value) {
        const bool integer = info_of(stored).kind != element_kind::real;
        return {MSG_NOTHING_TO_MAP,
                "NODATA_value " + nodata + (integer ? " is no integer" : " is no number")};
    }
    plan.nodata_real = *value;
    return {};
}

std::optional<std::string> nodata_in_target(const std::string& nodata, element_format source,
                                            element_format target, const narrowing& plan) {
    if (target == FMT_ASCII || (nodata.empty() && !plan.map_nodata)) return std::nullopt;
    const bool integer_target = info_of(target).kind != element_kind::real;
    unsigned char held[8];
    if (plan.map_nodata) {
        if (integer_target) {
            put_wide(plan.replacement_wide, target, held);
        } else {
            put_double(plan.replacement_real, target, held);
        }
    } else if (source == FMT_ASCII && plan.round) {
        const std::optional<std::int64_t> value = wide_of(nodata, true);
        if (!value) return std::nullopt;
        put_wide(*value, target, held);
    } else if (source == FMT_ASCII) {
        if (!parse_one_value(nodata, target, held)) return std::nullopt;
    } else {
        unsigned char stored[8];
        if (!parse_one_value(nodata, source, stored)) return std::nullopt;
        if (plan.round) {
            put_double(std::round(as_double(source, stored)), target, held);
        } else if (source == target) {
            std::memcpy(held, stored, width_of(source));
        } else {
            convert_row(1, source, stored, target, held);
        }
    }
    return element_text(target, held);
}

bool narrowing_asked(const narrowing& plan) {
    return plan.round || plan.strict || plan.map_nodata;
}

span_parse narrow_text_span(const char* first, const char* last, element_format target,
                            const narrowing& plan, unsigned char* out) {
    span_parse parsed{0, false, first};
    std::size_t kept = 0;
    with_element_type(target, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (std::is_floating_point_v<T>) {
            parsed = parse_text_span(first, last, target, out);
            T* values = reinterpret_cast<T*>(out);
            kept =
                plan.strict ? first_real_change(values, parsed.values, plan, first) : parsed.values;
            if (plan.map_nodata) map_reals(values, kept, plan);
        } else {
            auto* wide = reinterpret_cast<std::int64_t*>(out);
            parsed = plan.round ? parse_rounded_span(first, last, wide)
                                : parse_wide_integer_span(first, last, wide);
            if (!plan.nodata_whole.empty()) set_apart_lookalikes(first, wide, parsed.values, plan);
            kept = plan.strict ? first_change<T>(wide, parsed.values, plan) : parsed.values;
            // Narrowed in place a block at a time through a copy, so that the loop can tell its
            // loads from its stores; an element never reaches past the wide value it replaces.
            std::int64_t block[256];
            for (std::size_t done = 0; done < kept; done += std::size(block)) {
                const std::size_t n = std::min(std::size(block), kept - done);
                std::memcpy(block, wide + done, n * sizeof *block);
                store_narrowed<T>(block, n, plan, reinterpret_cast<T*>(out) + done);
            }
        }
    });
    if (kept == parsed.values) return parsed;
    return {kept, true, first, true};
}

span_parse narrow_elements(element_format source, const unsigned char* elements, std::size_t count,
                           element_format target, const narrowing& plan, unsigned char* out) {
    if (source == target) {
        std::memcpy(out, elements, count * width_of(source));
    } else {
        convert_row(static_cast<std::int32_t>(count), source, elements, target, out);
    }
    const bool integer_target = info_of(target).kind != element_kind::real;
    const std::size_t from = width_of(source);
    const std::size_t to = width_of(target);
    for (std::size_t i = 0; i < count; ++i) {
        double value = as_double(source, elements + i * from);
        if (plan.map_nodata && same(value, plan.nodata_real)) {
            put_double(plan.replacement_real, target, out + i * to);
            continue;
        }
        if (plan.round) {
            value = std::round(value);  // halves away from zero, as for text
            put_double(value, target, out + i * to);
        }
        if (!plan.strict) continue;
        const double written = as_double(target, out + i * to);
        const bool kept =
            integer_target ? written == value : !(std::isinf(written) && std::isfinite(value));
        if (!kept || (plan.map_nodata && same(value, plan.replacement_real))) {
            return {i, true, nullptr, true};
        }
    }
    return {count, false, nullptr};
}
