// The header reader on any bytes: it ends in a result, never a crash or a hang, and what it
// accepts is a usable pair of counts with the reader left at the first value.
#include <cstdint>
#include <cstdio>

#include "header.h"
#include "memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    memory_file source(data + 1, size - 1);
    source_reader reader;
    open_reader(reader, source.fd, true, MIN_SOURCE_BLOCK_SIZE + data[0] % 64);
    grid_header header;
    const failure f = read_header(reader, header);
    if (f.failed()) {
        if (f.message.find('\n') != std::string::npos || f.detail.find('\n') != std::string::npos) {
            __builtin_trap();  // a message is one line
        }
        return 0;
    }
    if (header.ncols < 0 || header.nrows < 0) __builtin_trap();
    if (reader.pos > reader.end) __builtin_trap();
    return 0;
}
