#include "grid.h"

#include <cstdlib>
#include <memory>

#include "formats.h"
#include "parallel_rows.h"
#include "row_readers.h"

namespace {

// Threads pay for themselves only on large grids; the first rows are parsed on one.
constexpr std::uint64_t PARALLEL_AFTER = std::uint64_t(8) << 20;

using row_reader = std::int32_t (*)(source_reader&, std::int32_t, int, void*);
using row_writer = std::int32_t (*)(grid_target&, std::int32_t, int, void*);

struct free_deleter {
    void operator()(unsigned char* p) const { std::free(p); }
};
using row_storage = std::unique_ptr<unsigned char, free_deleter>;

// A zero-filled row of count elements of width bytes; empty when it cannot be had. calloc, not a
// value-initialised new[]: fresh zero pages are only touched as values arrive.
row_storage allocate_row(std::int32_t count, int width) {
    if (count < 0) return nullptr;
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * static_cast<unsigned>(width);
    if (bytes > SIZE_MAX - 1) return nullptr;
    return row_storage(
        static_cast<unsigned char*>(std::calloc(static_cast<std::size_t>(bytes) + 1, 1)));
}

}  // namespace

failure move_rows(std::int32_t nrows, std::int32_t ncols, int source_format,
                  source_reader& source_stream, int target_format, grid_target& target_stream,
                  int threads) {
    const bool text_source = source_format == FMT_ASCII;
    const row_reader reader = text_source ? read_ascii_row : read_binary_row;
    const int memory_source = text_source ? target_format : source_format;
    const bool text_target = target_format == FMT_ASCII;
    const row_writer writer = text_target ? write_ascii_row : write_binary_row;
    const int memory_target = text_target ? memory_source : target_format;
    if (!is_binary_format(memory_source) || !is_binary_format(memory_target)) {
        if (nrows < 1) return {};
        return {MSG_FATAL_COLON, MSG_UNKNOWN_FORMAT};
    }

    const auto source_row = allocate_row(ncols, element_size[memory_source]);
    if (!source_row) return {MSG_NO_MEMORY, ""};
    row_storage target_row;
    if (memory_target != memory_source) {
        target_row = allocate_row(ncols, element_size[memory_target]);
        if (!target_row) return {MSG_NO_MEMORY, ""};
    }
    unsigned char* target_buffer = target_row ? target_row.get() : source_row.get();
    const int target_width = element_size[memory_target];

    // Rows of no values move nothing; counting through 2^31 of them would only take time.
    const std::int32_t rows = ncols == 0 ? 0 : nrows;
    bool parallel = threads > 1 && text_source && !text_target;
    for (std::int32_t r = 0; r < rows; ++r) {
        if (parallel &&
            source_stream.bytes_read.load(std::memory_order_relaxed) >= PARALLEL_AFTER) {
            const std::optional<failure> moved =
                move_rows_in_parallel(r, rows, ncols, memory_target, source_stream, target_stream,
                                      source_row.get(), threads);
            if (moved) {
                if (moved->failed()) return *moved;
                break;
            }
            parallel = false;  // no thread to be had: on with this one
        }
        const std::int32_t read = reader(source_stream, ncols, memory_source, source_row.get());
        if (read != ncols) {
            const std::uint64_t value =
                static_cast<std::uint64_t>(r) * static_cast<std::uint64_t>(ncols) +
                static_cast<std::uint64_t>(read);
            return stopped_at_value(target_stream, value, ncols, target_width);
        }
        convert_row(ncols, memory_source, source_row.get(), memory_target, target_buffer);
        if (writer(target_stream, ncols, memory_target, target_buffer) != ncols) {
            return {MSG_WRITE_ERROR, lost_value_position(target_stream, ncols, target_width)};
        }
    }
    if (!flush_target(target_stream)) {
        return {MSG_WRITE_ERROR, lost_value_position(target_stream, ncols, target_width)};
    }
    return {};
}

void transfer_grid(std::int32_t nrows, std::int32_t ncols, int source_format,
                   source_reader& source_stream, int target_format, grid_target& target_stream,
                   int threads) {
    const failure f = move_rows(nrows, ncols, source_format, source_stream, target_format,
                                target_stream, threads);
    if (f.failed()) fatal_error(f);
}
