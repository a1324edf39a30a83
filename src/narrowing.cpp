#include "narrowing.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "text_number.h"

namespace {

// The number text as format stores it (integers wrapped as the parser wraps them), as a double;
// nothing when the text is not wholly one number of that kind.
std::optional<double> stored_as(element_format format, const std::string& text) {
    const std::string token = text + " ";  // the scanners stop at white space
    std::optional<double> stored;
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (std::is_floating_point_v<T>) {
            const number_scan<T> scan = scan_cell_real<T>(token.c_str());
            if (scan.ok && *scan.end == ' ') stored = static_cast<double>(scan.value);
        } else {
            const number_scan<std::uint32_t> scan = scan_cell_integer(token.c_str());
            if (scan.ok && *scan.end == ' ')
                stored = static_cast<double>(static_cast<T>(scan.value));
        }
    });
    return stored;
}

std::optional<std::int64_t> wide_of(const std::string& text, bool round) {
    const std::string token = text + " ";
    const number_scan<std::int64_t> scan =
        round ? scan_cell_rounded(token.c_str()) : scan_cell_integer_wide(token.c_str());
    if (!scan.ok || *scan.end != ' ') return std::nullopt;
    return scan.value;
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
        const std::optional<std::int64_t> n = wide_of(replacement, false);
        if (!n || !in_range(target, *n)) {
            return {MSG_BAD_NODATA, replacement + " (" + range_text(target) + ")"};
        }
        plan.replacement_wide = *n;
        plan.replacement_real = static_cast<double>(*n);
        return {};
    }
    const std::optional<double> n = stored_as(target, replacement);
    const std::optional<double> exact = stored_as(FMT_DOUBLE, replacement);
    if (!n || (std::isinf(*n) && !std::isinf(*exact))) {
        return {MSG_BAD_NODATA, replacement + " (not a finite " + std::string(info.name) + ")"};
    }
    plan.replacement_real = *n;
    return {};
}

// Wide values, read from in, into T at out (the same buffer: each is read before it is written
// over, and an element never reaches past its wide value). The index of the first that would not
// keep its value, or count.
template <typename T>
std::size_t narrow_wide(unsigned char* buffer, std::size_t count, const narrowing& plan) {
    for (std::size_t i = 0; i < count; ++i) {
        std::int64_t value;
        std::memcpy(&value, buffer + i * sizeof value, sizeof value);
        if (plan.map_nodata && value == plan.nodata_wide) {
            value = plan.replacement_wide;
        } else if (plan.strict &&
                   (!holds<T>(value) || (plan.map_nodata && value == plan.replacement_wide))) {
            return i;
        }
        const auto element = static_cast<T>(value);  // keeps the low bits
        std::memcpy(buffer + i * sizeof element, &element, sizeof element);
    }
    return count;
}

// Whether the token at p is a number written in digits, not a word such as inf.
bool written_in_digits(const char* p) {
    if (*p == '-' || *p == '+') ++p;
    return is_digit(*p) || *p == '.';
}

// Reals parsed into T in place, then mapped and checked; text from first, for the tokens of the
// cells that became infinite.
template <typename T>
std::size_t narrow_reals(unsigned char* buffer, std::size_t count, const narrowing& plan,
                         const char* first) {
    const char* token = first;  // the start of token number at, from first
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        T value;
        std::memcpy(&value, buffer + i * sizeof value, sizeof value);
        const auto wide = static_cast<double>(value);
        if (plan.map_nodata && same(wide, plan.nodata_real)) {
            value = static_cast<T>(plan.replacement_real);
            std::memcpy(buffer + i * sizeof value, &value, sizeof value);
            continue;
        }
        if (!plan.strict) continue;
        if (plan.map_nodata && same(wide, plan.replacement_real)) return i;
        if (std::isinf(value)) {
            for (;; ++at) {  // the cells' tokens, in order, up to cell i
                while (is_space(*token))
                    ++token;
                if (at == i) break;
                while (!is_space(*token))
                    ++token;
            }
            if (written_in_digits(token)) return i;  // a finite decimal beyond the format
        }
    }
    return count;
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

}  // namespace

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
        return {};
    }
    const std::optional<double> value = stored_as(source == FMT_ASCII ? target : source, nodata);
    if (!value) return {MSG_NOTHING_TO_MAP, "NODATA_value " + nodata + " is no number"};
    plan.nodata_real = *value;
    return {};
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
            kept = narrow_reals<T>(out, parsed.values, plan, first);
        } else {
            auto* wide = reinterpret_cast<std::int64_t*>(out);
            parsed = plan.round ? parse_rounded_span(first, last, wide)
                                : parse_wide_integer_span(first, last, wide);
            kept = narrow_wide<T>(out, parsed.values, plan);
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
