// The block-wise span parser against the one-byte reference on any text: the same values, the
// same stop and the same place to go on from, for every format and count of values wanted, with
// every implementation of the kernels this CPU runs.
#include <cstdint>
#include <string>

#include "formats.h"
#include "span_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const element_format format = binary_format(data[0] % BINARY_FORMATS);
    const std::size_t max_values = data[1] == 255 ? SIZE_MAX : data[1] * std::size_t(8);
    std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    text += '\n';  // a span ends in white space
    if (!span_unlike_reference(text, format, max_values).empty()) __builtin_trap();
    return 0;
}
