// Cell values of every format read through the buffered reader with small blocks and small chunks,
// so tokens straddle block and chunk ends and outgrow the block: the target must equal the one
// written from one large block, and the outcome must agree.
#include <cstdint>
#include <cstdio>
#include <string>

#include "formats.h"
#include "memory_file.h"
#include "pipeline.h"

namespace {

struct result {
    std::string bytes;
    failure outcome;
};

// The first values of the text as a grid of one column, so that every value read is written.
result read_all(const std::uint8_t* data, std::size_t size, element_format format,
                std::size_t capacity, std::size_t chunk_bytes) {
    memory_file source(data, size);
    source_reader reader;
    open_reader(reader, source.fd, true, capacity);
    std::FILE* sink = std::tmpfile();
    grid_target target;
    open_target(target, sink, 64);
    result r;
    r.outcome = move_rows(64, 1, FMT_ASCII, reader, format, target, {1, chunk_bytes});
    flush_target(target);
    std::rewind(sink);
    char piece[1024];
    for (std::size_t n; (n = std::fread(piece, 1, sizeof piece, sink)) > 0;)
        r.bytes.append(piece, n);
    close_target(target);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const element_format format = binary_format(data[0] % BINARY_FORMATS);
    const std::size_t capacity = MIN_SOURCE_BLOCK_SIZE + data[1] % 48;
    const std::size_t chunk_bytes = MIN_CHUNK_BYTES + data[1] % 64;
    data += 2;
    size -= 2;
    const result small = read_all(data, size, format, capacity, chunk_bytes);
    const result large = read_all(data, size, format, SOURCE_BLOCK_SIZE, 0);
    if (small.bytes != large.bytes || small.outcome.message != large.outcome.message ||
        small.outcome.detail != large.outcome.detail) {
        __builtin_trap();
    }
    return 0;
}
