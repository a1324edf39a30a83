// Grids moved on threads against one thread: the same bytes in the target and the same failure at
// the same row and column, for any text, chunk size and thread count, with the writer behind.
#include <cstdint>
#include <cstdio>
#include <string>

#include "formats.h"
#include "memory_file.h"
#include "memory_target.h"
#include "pipeline.h"

namespace {

struct result {
    std::string bytes;
    failure outcome;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const element_format format = binary_format(data[0] % BINARY_FORMATS);
    const std::int32_t ncols = 1 + data[1] % 40;
    const std::int32_t nrows = 1 + data[2] % 200 * 4;
    const int threads = 2 + data[3] % 3;
    const std::size_t chunk_bytes = MIN_CHUNK_BYTES + std::size_t(data[3]) * 7;
    // Repeated, the text spans several chunks, cut at many different places.
    const std::string body(reinterpret_cast<const char*>(data) + 4, size - 4);
    std::string text;
    for (int i = 0; i < 1 + data[2] % 64; ++i)
        text += body;
    result serial;
    result threaded;
    for (result* r : {&serial, &threaded}) {
        const bool on_threads = r == &threaded;
        memory_file source(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        source_reader reader;
        open_reader(reader, source.fd, true, MIN_SOURCE_BLOCK_SIZE + data[2] % 64);
        memory_target sink(64 + data[1], on_threads ? 0 : NO_WRITE_BEHIND);
        const pipeline_settings settings{on_threads ? threads : 1, on_threads ? chunk_bytes : 0};
        r->outcome = move_rows(nrows, ncols, FMT_ASCII, reader, format, sink.target, settings);
        r->bytes = sink.bytes();
    }
    if (serial.bytes != threaded.bytes || serial.outcome.message != threaded.outcome.message ||
        serial.outcome.detail != threaded.outcome.detail) {
        __builtin_trap();
    }
    return 0;
}
