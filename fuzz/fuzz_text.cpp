// The text writer against the reader: elements of any format, from any bytes, written as a row of
// an Arc ascii grid and read back, must come back bit for bit (a NaN as a NaN).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "formats.h"
#include "memory_file.h"
#include "memory_target.h"
#include "pipeline.h"
#include "text_rows.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const element_format format = binary_format(data[0] % BINARY_FORMATS);
    const std::size_t width = width_of(format);
    const std::size_t count = (size - 1) / width;
    if (count == 0) return 0;
    const auto ncols = static_cast<std::int32_t>(count);

    std::string written;
    {
        memory_target text(64 + data[0]);
        if (!write_ascii_row(text.target, ncols, format, data + 1)) __builtin_trap();
        written = text.bytes();
    }

    memory_file source(reinterpret_cast<const std::uint8_t*>(written.data()), written.size());
    source_reader reader;
    open_reader(reader, source.fd, true, MIN_SOURCE_BLOCK_SIZE + data[0] % 64);
    memory_target back;
    if (move_rows(1, ncols, FMT_ASCII, reader, format, back.target).failed()) __builtin_trap();
    const std::string bytes = back.bytes();
    if (bytes.size() != count * width) __builtin_trap();
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        for (std::size_t i = 0; i < count; ++i) {
            T expected;
            T got;
            std::memcpy(&expected, data + 1 + i * width, width);
            std::memcpy(&got, bytes.data() + i * width, width);
            if constexpr (std::is_floating_point_v<T>) {
                if (std::isnan(expected)) {
                    if (!std::isnan(got)) __builtin_trap();
                    continue;
                }
            }
            if (std::memcmp(&expected, &got, width) != 0) __builtin_trap();
        }
    });
    return 0;
}
