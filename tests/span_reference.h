// The straightforward parser of a span of cell text, one byte at a time: the reference that the
// block-wise parser of the program must match, in the tests and the fuzzers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "formats.h"
#include "text_number.h"
#include "text_span.h"

template <typename T>
span_parse reference_span(const char* p, const char* last, T* out, std::size_t max_values) {
    std::size_t n = 0;
    while (n != max_values) {
        while (p != last && is_space(*p))
            ++p;
        if (p == last) break;
        T value{};
        const char* end = p;
        bool ok = false;
        if constexpr (std::is_floating_point_v<T>) {
            const number_scan<T> scan = scan_cell_real<T>(p);
            value = scan.value;
            end = scan.end;
            ok = scan.ok;
        } else {
            const number_scan<std::uint32_t> scan = scan_cell_integer(p);
            value = static_cast<T>(scan.value);
            end = scan.end;
            ok = scan.ok;
        }
        if (!ok || !is_space(*end)) return {n, true, p};
        out[n++] = value;
        p = end;
    }
    return {n, false, p};
}

// Whether the program's span parser gives what the reference gives on text (which must end in
// white space), read as format: the same values, the same stop and the same place to go on from.
// Garbage follows the text: the parser may read it, never take it.
inline bool span_like_reference(std::string text, element_format format, std::size_t max_values) {
    const std::size_t length = text.size();
    text.append(SPAN_SLACK, '5');
    const char* first = text.data();
    const char* last = first + length;
    bool same = false;
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        std::vector<T> got(length / 2 + 2);
        std::vector<T> expected(got.size());
        const span_parse g = parse_text_span(first, last, format, got.data(), max_values);
        const span_parse e = reference_span<T>(first, last, expected.data(), max_values);
        same = g.values == e.values && g.stopped == e.stopped && g.next == e.next &&
               std::memcmp(got.data(), expected.data(), g.values * sizeof(T)) == 0;
    });
    return same;
}
