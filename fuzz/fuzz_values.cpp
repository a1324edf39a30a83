// Cell values of every format read through the buffered reader with small blocks, so tokens
// straddle block ends and outgrow the block: the values must equal those read from one large
// block, and the count read must agree.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "formats.h"
#include "memory_file.h"
#include "row_readers.h"

namespace {

std::int32_t read_all(const std::uint8_t* data, std::size_t size, int format, std::size_t capacity,
                      std::vector<unsigned char>& out) {
    memory_file source(data, size);
    source_reader reader;
    open_reader(reader, source.fd, true, capacity);
    const auto count = static_cast<std::int32_t>(out.size() / 8);
    return read_ascii_row(reader, count, format, out.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int format = data[0] % BINARY_FORMATS;
    const std::size_t capacity = MIN_SOURCE_BLOCK_SIZE + data[1] % 48;
    data += 2;
    size -= 2;
    const std::size_t count = 64;
    std::vector<unsigned char> small(count * 8), large(count * 8);
    const std::int32_t n_small = read_all(data, size, format, capacity, small);
    const std::int32_t n_large = read_all(data, size, format, SOURCE_BLOCK_SIZE, large);
    if (n_small != n_large) __builtin_trap();
    const std::size_t bytes = std::size_t(n_small) * std::size_t(element_size[format]);
    if (std::memcmp(small.data(), large.data(), bytes) != 0) __builtin_trap();
    return 0;
}
