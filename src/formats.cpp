#include "formats.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "element_types.h"
#include "rastmill.h"

const format_info format_table[FMT_ASCII + 1] = {
    {"char", 1, FMT_LONGINTEGER, false},
    {"uchar", 1, FMT_ULONGINTEGER, false},
    {"shortint", 2, FMT_LONGINTEGER, false},
    {"ushortint", 2, FMT_ULONGINTEGER, false},
    {"integer", 4, FMT_LONGINTEGER, false},
    {"uinteger", 4, FMT_ULONGINTEGER, false},
    {"longinteger", 4, FMT_LONGINTEGER, false},
    {"ulonginteger", 4, FMT_ULONGINTEGER, false},
    {"float", 4, FMT_DOUBLE, true},
    {"double", 8, FMT_DOUBLE, true},
    {"ascii", 0, FMT_ASCII, false},
};

int element_size[BINARY_FORMATS];

void init_element_sizes() {
    for (int f = 0; f < BINARY_FORMATS; ++f)
        element_size[f] = format_table[f].width;
}

namespace {

std::optional<element_format> format_from_kind(char kind, bool is_unsigned) {
    int signed_code = -1;
    switch (kind) {
        case 'c': signed_code = FMT_CHAR; break;
        case 's': signed_code = FMT_SHORTINT; break;
        case 'i': signed_code = FMT_INTEGER; break;
        case 'l': signed_code = FMT_LONGINTEGER; break;
        case 'f':
            if (!is_unsigned) return FMT_FLOAT;
            return std::nullopt;
        case 'd':
            if (!is_unsigned) return FMT_DOUBLE;
            return std::nullopt;
        case 'a':
            if (!is_unsigned) return FMT_ASCII;
            return std::nullopt;
        default: return std::nullopt;
    }
    return static_cast<element_format>(signed_code + (is_unsigned ? 1 : 0));
}

// Trailing digits are a width claim; a claim that disagrees with the format would silently
// produce a file of the wrong layout ("int16" is 32 bits here), so it is refused.
bool width_claim_holds(std::string_view digits, element_format format) {
    if (digits.empty()) return true;
    const int bytes = format_table[format].width;
    if (bytes == 0) return false;
    return digits == std::to_string(bytes) || digits == std::to_string(bytes * 8);
}

}  // namespace

std::optional<element_format> format_from_name(std::string_view text) {
    const bool is_unsigned = !text.empty() && text[0] == 'u';
    const std::size_t kind_at = is_unsigned ? 1 : 0;
    if (kind_at >= text.size()) return std::nullopt;
    const auto format = format_from_kind(text[kind_at], is_unsigned);
    if (!format) return std::nullopt;
    std::size_t digits_at = text.size();
    while (digits_at > kind_at + 1 && text[digits_at - 1] >= '0' && text[digits_at - 1] <= '9') {
        --digits_at;
    }
    if (!width_claim_holds(text.substr(digits_at), *format)) return std::nullopt;
    return format;
}

element_format parse_format(char* text) {
    for (char* c = text; *c != '\0'; ++c) {
        if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');
    }
    const auto format = format_from_name(text);
    if (!format) fatal_error(text, "Unrecognized format specifier:");
    return *format;
}

namespace {

// Truncation toward zero into the integer type I; values outside I (and NaN) get a fixed,
// defined result instead of undefined behaviour.
template <typename I>
I truncate_to(double value) {
    if (std::isnan(value)) return 0;
    constexpr double low = static_cast<double>(std::numeric_limits<I>::min());
    constexpr double high = -low;  // 2^31 or 2^63, exactly representable
    if (value <= low) return std::numeric_limits<I>::min();
    if (value >= high) return std::numeric_limits<I>::max();
    return static_cast<I>(value);
}

template <typename P, typename T>
T narrow(P value) {
    if constexpr (std::is_floating_point_v<T> || std::is_integral_v<P>) {
        return static_cast<T>(value);  // integers keep their low bits; floats round to nearest
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        return static_cast<T>(truncate_to<std::int64_t>(value));
    } else {
        return static_cast<T>(truncate_to<std::int32_t>(value));
    }
}

template <typename S, typename T>
void convert_elements(std::int32_t count, const unsigned char* source, unsigned char* target) {
    using P = promoted_t<S>;
    for (std::int32_t i = 0; i < count; ++i) {
        S value;
        std::memcpy(&value, source + std::size_t(i) * sizeof(S), sizeof(S));
        const T narrowed = narrow<P, T>(static_cast<P>(value));
        std::memcpy(target + std::size_t(i) * sizeof(T), &narrowed, sizeof(T));
    }
}

template <typename S>
void convert_from(std::int32_t count, const unsigned char* source, int target_format,
                  unsigned char* target) {
    const bool known = with_element_type(target_format, [&](auto tag) {
        convert_elements<S, typename decltype(tag)::type>(count, source, target);
    });
    if (!known) fatal_error("Unrecognized format specifier:", "Fatal error");
}

}  // namespace

void convert_row(std::int32_t count, int source_format, const void* source_buffer,
                 int target_format, void* target_buffer) {
    if (source_format == target_format) return;
    const auto* source = static_cast<const unsigned char*>(source_buffer);
    auto* target = static_cast<unsigned char*>(target_buffer);
    const bool known = with_element_type(source_format, [&](auto tag) {
        convert_from<typename decltype(tag)::type>(count, source, target_format, target);
    });
    if (!known) fatal_error("Unrecognized format specifier:", "Fatal error");
}
