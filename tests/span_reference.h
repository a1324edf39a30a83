// The straightforward parser of a span of cell text, one byte at a time: the reference that the
// block-wise parser of the program must match, in the tests and the fuzzers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "digit_kernels.h"
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

// Calls check with each implementation of the kernels this CPU runs made the active one; returns
// the name of the first for which it returns false, empty when none does. The active one is the
// same afterwards.
template <typename Check>
std::string first_kernels_failing(Check check) {
    const std::string before = active_kernels().name;
    std::string failing;
    for (const digit_kernels* kernels : runnable_kernels()) {
        set_kernels(kernels->name);
        if (!check()) {
            failing = kernels->name;
            break;
        }
    }
    set_kernels(before);
    return failing;
}

// The implementation of the kernels with which the program's span parser does not give what the
// reference gives on text (which must end in white space), read as format: the same values, the
// same stop and the same place to go on from; empty when it does with every one this CPU runs.
// Garbage follows the text: the parser may read it, never take it.
inline std::string span_unlike_reference(std::string text, element_format format,
                                         std::size_t max_values) {
    const std::size_t length = text.size();
    text.append(SPAN_SLACK, '5');
    const char* first = text.data();
    const char* last = first + length;
    std::string unlike;
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        std::vector<T> expected(length / 2 + 2);
        const span_parse e = reference_span<T>(first, last, expected.data(), max_values);
        unlike = first_kernels_failing([&] {
            std::vector<T> got(expected.size());
            const span_parse g = parse_text_span(first, last, format, got.data(), max_values);
            return g.values == e.values && g.stopped == e.stopped && g.next == e.next &&
                   std::memcmp(got.data(), expected.data(), g.values * sizeof(T)) == 0;
        });
    });
    return unlike;
}
