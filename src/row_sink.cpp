#include "row_sink.h"

#include <algorithm>
#include <cstring>

bool open_row_sink(row_sink& sink, grid_target& target, element_format format, bool text,
                   std::int32_t nrows, std::int32_t ncols) {
    sink.target = &target;
    sink.format = format;
    sink.text = text;
    if (text) count_text_cells(target);
    sink.ncols = ncols;
    sink.taken = sink.staged = 0;
    // Rows of no values move nothing; counting through 2^31 of them would only take time.
    sink.wanted = ncols < 1 || nrows < 1
                      ? 0
                      : static_cast<std::uint64_t>(nrows) * static_cast<std::uint64_t>(ncols);
    if (ncols < 0) return false;
    // calloc, not a value-initialised new[]: fresh zero pages are only touched as values arrive.
    const std::uint64_t bytes = static_cast<std::uint64_t>(ncols) * width_of(format);
    if (bytes > SIZE_MAX - 1) return false;
    sink.row.reset(
        static_cast<unsigned char*>(std::calloc(static_cast<std::size_t>(bytes) + 1, 1)));
    return sink.row != nullptr;
}

namespace {

bool write_rows(row_sink& sink, const unsigned char* values, std::int32_t count) {
    return sink.text ? write_ascii_row(*sink.target, count, sink.format, values, *sink.style)
                     : write_binary_row(*sink.target, count, sink.format, values);
}

}  // namespace

bool put_values(row_sink& sink, const unsigned char* values, std::size_t count) {
    const auto ncols = static_cast<std::size_t>(sink.ncols);
    const std::size_t width = width_of(sink.format);
    sink.taken += count;
    while (count != 0) {
        if (sink.staged == 0 && count >= ncols) {
            // Whole rows straight from the values, as many at a time as a binary row writer takes.
            const std::size_t rows = sink.text ? 1 : std::min(count / ncols, INT32_MAX / ncols);
            if (!write_rows(sink, values, static_cast<std::int32_t>(rows * ncols))) return false;
            values += rows * ncols * width;
            count -= rows * ncols;
            continue;
        }
        const std::size_t n = std::min(ncols - sink.staged, count);
        std::memcpy(sink.row.get() + sink.staged * width, values, n * width);
        sink.staged += n;
        values += n * width;
        count -= n;
        if (sink.staged < ncols) break;
        sink.staged = 0;
        if (!write_rows(sink, sink.row.get(), sink.ncols)) return false;
    }
    return true;
}

bool put_text_rows(row_sink& sink, const char* text, std::size_t size, std::size_t count) {
    sink.taken += count;
    while (size != 0) {
        const std::size_t n = std::min<std::size_t>(size, INT32_MAX);
        const auto piece = static_cast<std::int32_t>(n);
        if (!write_binary_row(*sink.target, piece, FMT_UCHAR, text)) return false;
        text += n;
        size -= n;
    }
    return true;
}

failure stopped_at_next_value(row_sink& sink, std::uint64_t ahead) {
    return stopped_at_value(*sink.target, sink.taken + ahead, sink.ncols,
                            static_cast<int>(width_of(sink.format)));
}

failure lost_values(const row_sink& sink) {
    return {MSG_WRITE_ERROR,
            lost_value_position(*sink.target, sink.ncols, static_cast<int>(width_of(sink.format)),
                                sink.wanted)};
}

failure finish_rows(row_sink& sink) {
    if (!flush_target(*sink.target)) return lost_values(sink);
    return {};
}
