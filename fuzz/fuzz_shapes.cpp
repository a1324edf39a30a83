// The span parser against the one-byte reference on texts made of the token shapes it takes in
// bulk (one- and two-digit codes, short signed integers, fixed-point decimals, no-data, decimals
// of up to 19 digits and a few more), which random bytes seldom form, with every implementation
// of the kernels this CPU runs: each input byte picks a token, its digits and the white space
// after it, with a lone minus, a long token or a stray character now and then.
#include <cstdint>
#include <string>

#include "formats.h"
#include "span_reference.h"

namespace {

// The token and separator one input byte, and the one after it, stand for.
void append_token(std::string& text, std::uint8_t shape, std::uint8_t digits) {
    static const char* const odd[] = {"-", "123456789", "-12345678", "1.5e3",
                                      "x", "+7",        ".5",        "7."};
    static const char* const separators[] = {" ", "\n", "\r\n", "\t", "  ", "\v\f"};
    switch (shape % 8) {
        case 0:
        case 1: text += std::to_string(digits % (shape & 8 ? 100 : 10)); break;
        case 2:
        case 3: {  // up to eight bytes, signed or not
            if (shape & 8) text += '-';
            const int count = 1 + digits % 8;
            for (int i = 0; i < count; ++i)
                text += static_cast<char>('0' + (digits + 7 * i) % 10);
            break;
        }
        case 4:
        case 5: {  // d{1,4}.d{1,3}
            if (shape & 8) text += '-';
            text += std::to_string(digits % (shape & 16 ? 10000 : 10));
            text += '.';
            const int places = 1 + (shape >> 5) % 3;
            for (int i = 0; i < places; ++i)
                text += static_cast<char>('0' + (digits >> i) % 10);
            break;
        }
        case 6: text += "-9999"; break;
        default:
            if (shape & 8) {  // d{1,5}.d{8,19}, as GDAL writes floats
                if (shape & 64) text += '-';
                unsigned state = digits * 2654435761U + shape;
                const int integer = 1 + digits % 5;
                const int places = 8 + (digits >> 3) % 12;
                for (int i = 0; i < integer + places; ++i) {
                    if (i == integer) text += '.';
                    state = state * 1103515245U + 12345U;
                    text += static_cast<char>('0' + (state >> 16) % 10);
                }
            } else {
                text += odd[digits % std::size(odd)];
            }
    }
    text += separators[(shape >> 4) % 8 < 6 ? 0 : digits % std::size(separators)];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const element_format format = binary_format(data[0] % BINARY_FORMATS);
    const std::size_t max_values = data[1] == 255 ? SIZE_MAX : data[1] * std::size_t(8);
    std::string text;
    for (std::size_t i = 2; i + 1 < size; i += 2)
        append_token(text, data[i], data[i + 1]);
    if (text.empty()) return 0;
    if (!span_unlike_reference(text, format, max_values).empty()) __builtin_trap();
    return 0;
}
