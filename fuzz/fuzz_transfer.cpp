// The whole conversion in process: source bytes in, a chosen format out. Every run either moves
// exactly nrows x ncols values or reports a failure; nothing crashes, leaks or overruns.
#include <cstdint>
#include <cstdio>

#include "formats.h"
#include "header.h"
#include "memory_file.h"
#include "pipeline.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const element_format format = binary_format(data[0] % BINARY_FORMATS);
    memory_file source(data + 2, size - 2);
    source_reader reader;
    open_reader(reader, source.fd, true, MIN_SOURCE_BLOCK_SIZE + data[1] % 128);
    grid_header header;
    if (read_header(reader, header).failed()) return 0;
    // Counts only limit what this harness is willing to allocate, not what the program accepts.
    const std::uint64_t cells = std::uint64_t(header.nrows) * std::uint64_t(header.ncols);
    if (header.ncols > (1 << 16) || cells > (1 << 20)) return 0;
    std::FILE* sink = std::fopen("/dev/null", "wb");
    grid_target target;
    open_target(target, sink, 64 + data[1]);
    const failure f = move_rows(header.nrows, header.ncols, FMT_ASCII, reader, format, target);
    const std::uint64_t expected = cells * width_of(format);
    if (!f.failed() && target.committed != expected) __builtin_trap();
    if (f.failed() && f.message != "Error reading input:") __builtin_trap();
    if (f.failed() && target.committed >= expected && expected != 0) __builtin_trap();
    std::fclose(sink);
    return 0;
}
