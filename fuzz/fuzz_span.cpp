// The block-wise span parser against the one-byte reference on any text: the same values, the
// same stop and the same place to go on from, for every format and count of values wanted.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats.h"
#include "span_reference.h"
#include "text_span.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const element_format format = binary_format(data[0] % BINARY_FORMATS);
    const std::size_t max_values = data[1] == 255 ? SIZE_MAX : data[1] * std::size_t(8);
    std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    text += '\n';  // a span ends in white space
    const std::size_t length = text.size();
    text.append(SPAN_SLACK, '5');  // readable, never taken
    const char* first = text.data();
    const char* last = first + length;
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        std::vector<T> got(length / 2 + 2);
        std::vector<T> expected(got.size());
        const span_parse g = parse_text_span(first, last, format, got.data(), max_values);
        const span_parse e = reference_span<T>(first, last, expected.data(), max_values);
        if (g.values != e.values || g.stopped != e.stopped || g.next != e.next) __builtin_trap();
        if (std::memcmp(got.data(), expected.data(), g.values * sizeof(T)) != 0) __builtin_trap();
    });
    return 0;
}
