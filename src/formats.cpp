#include "formats.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "chars.h"
#include "failure.h"

namespace {

// The format named by its letter, after a "u" for the unsigned kinds.
std::optional<element_format> format_from_letter(char letter, bool is_unsigned) {
    for (int f = 0; f <= code_of(FMT_ASCII); ++f) {
        const format_info& info = format_table[f];
        if (info.letter == letter && (info.kind == element_kind::unsigned_integer) == is_unsigned)
            return static_cast<element_format>(f);
    }
    return std::nullopt;
}

// Trailing digits are a width claim; a claim that disagrees with the format would silently
// produce a file of the wrong layout ("int16" is 32 bits here), so it is refused.
bool width_claim_holds(std::string_view digits, element_format format) {
    if (digits.empty()) return true;
    const int bytes = info_of(format).width;
    if (bytes == 0) return false;
    return digits == std::to_string(bytes) || digits == std::to_string(bytes * 8);
}

}  // namespace

std::optional<element_format> format_from_name(std::string_view text) {
    // A path is no format name: "rastmill dem.asc class.asc out.bin" would read class.asc as
    // double.
    if (text.find_first_of("./\\") != std::string_view::npos) return std::nullopt;
    const bool is_unsigned = !text.empty() && text[0] == 'u';
    const std::size_t kind_at = is_unsigned ? 1 : 0;
    if (kind_at >= text.size()) return std::nullopt;
    const auto format = format_from_letter(text[kind_at], is_unsigned);
    if (!format) return std::nullopt;
    std::size_t digits_at = text.size();
    while (digits_at > kind_at + 1 && text[digits_at - 1] >= '0' && text[digits_at - 1] <= '9') {
        --digits_at;
    }
    if (!width_claim_holds(text.substr(digits_at), *format)) return std::nullopt;
    return format;
}

failure parse_format(std::string_view text, element_format& format) {
    std::string lowered(text);
    for (char& c : lowered)
        c = to_lower(c);
    const auto named = format_from_name(lowered);
    if (!named) return {MSG_BAD_FORMAT_NAME, lowered, format_names_hint()};
    format = *named;
    return {};
}

std::string format_names_hint() {
    std::string hint = "formats are";
    for (int f = 0; f < BINARY_FORMATS; ++f) {
        const format_info& info = format_table[f];
        hint.append(f == 0 ? " " : ", ").append(info.name);
        hint.append(" (").append(info.gdal).append(", ").append(info.numpy).append(")");
    }
    hint.append(" as GDAL and numpy name them, and ascii; rastmill FORMAT SOURCE TARGET");
    return hint;
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

template <typename S, typename P, typename T>
void convert_elements(std::int32_t count, const unsigned char* source, unsigned char* target) {
    for (std::int32_t i = 0; i < count; ++i) {
        S value;
        std::memcpy(&value, source + std::size_t(i) * sizeof(S), sizeof(S));
        const T narrowed = narrow<P, T>(static_cast<P>(value));
        std::memcpy(target + std::size_t(i) * sizeof(T), &narrowed, sizeof(T));
    }
}

}  // namespace

void convert_row(std::int32_t count, element_format source_format, const void* source_buffer,
                 element_format target_format, void* target_buffer) {
    if (source_format == target_format) return;
    const auto* source = static_cast<const unsigned char*>(source_buffer);
    auto* target = static_cast<unsigned char*>(target_buffer);
    with_binary_format(source_format, [&](auto s) {
        using S = element_t<decltype(s)::value>;
        using P = element_t<code_of(format_table[decltype(s)::value].promotion)>;
        with_element_type(target_format, [&](auto t) {
            convert_elements<S, P, typename decltype(t)::type>(count, source, target);
        });
    });
}
