// The straightforward parser of a span of cell text, one byte at a time: the reference that the
// block-wise parser of the program must match, in the tests and the fuzzers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

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
