#include "grid.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "element_types.h"
#include "formats.h"
#include "text_number.h"

void open_target(grid_target& target, std::FILE* file, std::size_t capacity) {
    // Unbuffered: the block below is the only buffer, so a failed write shows at once and
    // committed counts exactly the bytes the file took.
    std::setvbuf(file, nullptr, _IONBF, 0);
    target.file = file;
    target.block.reset(new unsigned char[capacity]);
    target.capacity = capacity;
    target.used = 0;
    target.committed = 0;
    target.failed = false;
}

bool flush_target(grid_target& target) {
    if (target.failed) return false;
    if (target.used == 0) return true;
    const std::size_t written = std::fwrite(target.block.get(), 1, target.used, target.file);
    target.committed += written;
    if (written != target.used) target.failed = true;
    target.used = 0;
    return !target.failed;
}

bool close_target(grid_target& target) {
    bool ok = flush_target(target);
    if (target.file != nullptr && std::fclose(target.file) != 0) ok = false;
    target.file = nullptr;
    target.failed = !ok;
    return ok;
}

namespace {

// Appends bytes to the block, flushing it when full; widths of elements are kept whole so that
// each can be put into little-endian order in the block.
bool put_elements(grid_target& target, const unsigned char* data, std::size_t count, int width) {
    const auto size = static_cast<std::size_t>(width);
    while (count != 0) {
        std::size_t fit = (target.capacity - target.used) / size;
        if (fit == 0) {
            if (!flush_target(target)) return false;
            fit = target.capacity / size;
        }
        const std::size_t n = std::min(fit, count);
        unsigned char* at = target.block.get() + target.used;
        std::memcpy(at, data, n * size);
        swap_to_little_endian(at, n, width);
        target.used += n * size;
        data += n * size;
        count -= n;
    }
    return !target.failed;
}

bool is_header_delimiter(int c) {
    return c == ' ' || c == '\t' || c == ',' || c == '\n';
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_lower(std::string_view text, std::string_view keyword) {
    return text.size() == keyword.size() &&
           std::equal(text.begin(), text.end(), keyword.begin(),
                      [](char a, char b) { return lower(a) == b; });
}

// Header tokens are shown in messages; control bytes from a binary file would garble the line.
std::string printable(const std::string& token, bool cut) {
    std::string shown;
    for (const char c : token) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            static const char hex[] = "0123456789abcdef";
            shown += "\\x";
            shown += hex[byte >> 4];
            shown += hex[byte & 15];
        } else {
            shown += c;
        }
    }
    return cut ? shown + "..." : shown;
}

failure read_count(const header_line& line, std::int32_t& count) {
    if (line.token_count < 2) return {"Fatal error", "Unrecognized input file format:"};
    const integer_scan scan = scan_integer(line.tokens[1]);
    if (line.cut[1] || !scan.ok || scan.value < 0) {
        return {"Invalid integer:", printable(line.tokens[1], line.cut[1])};
    }
    count = scan.value;
    return {};
}

std::string row_column(std::uint64_t row, std::uint64_t column) {
    return "Row: " + std::to_string(row) + "\tColumn: " + std::to_string(column);
}

failure read_failure(std::int32_t row, std::int32_t column) {
    return {"Error reading input:",
            row_column(static_cast<std::uint64_t>(row), static_cast<std::uint64_t>(column))};
}

}  // namespace

header_line read_header_line(source_reader& reader) {
    header_line line;
    bool in_token = false;
    for (int c = get_byte(reader); c >= 0 && c != '\n'; c = get_byte(reader)) {
        // Carriage return before the newline belongs to the line end; anywhere else it is text.
        if (c == '\r' && peek_byte(reader) == '\n') continue;
        if (line.start.size() < 5) line.start += static_cast<char>(c);
        if (is_header_delimiter(c)) {
            in_token = false;
            continue;
        }
        if (!in_token) {
            in_token = true;
            if (line.token_count < 3) ++line.token_count;
        }
        const int at = line.token_count - 1;
        if (at >= 2) continue;
        if (line.tokens[at].size() < HEADER_TOKEN_LIMIT) {
            line.tokens[at] += static_cast<char>(c);
        } else {
            line.cut[at] = true;
        }
    }
    return line;
}

bool is_ascii_grid(const header_line& first_line) {
    return equals_lower(first_line.start, "ncols");
}

failure read_nrows(const header_line& second_line, std::int32_t& nrows) {
    return read_count(second_line, nrows);
}

failure read_ncols(const header_line& first_line, std::int32_t& ncols) {
    return read_count(first_line, ncols);
}

void skip_header(source_reader& reader) {
    static constexpr std::string_view keywords[] = {
        "ncols",     "nrows",    "xllcorner", "xllcenter", "yllcorner",
        "yllcenter", "cellsize", "dx",        "dy",        "nodata_value"};
    constexpr std::size_t longest = 12;
    for (;;) {
        int c = peek_byte(reader);
        while (c >= 0 && c != '\n' && is_space(static_cast<char>(c))) {
            ++reader.pos;
            c = peek_byte(reader);
        }
        if (c < 0) return;
        if (c == '\n') {
            ++reader.pos;
            continue;
        }
        const std::size_t available = ensure_bytes(reader, longest + 1);
        std::size_t n = 0;
        while (n < available && n <= longest && !is_header_delimiter(reader.pos[n]) &&
               !is_space(reader.pos[n])) {
            ++n;
        }
        const std::string_view word(reader.pos, n);
        const bool keyword = std::any_of(std::begin(keywords), std::end(keywords),
                                         [&](std::string_view k) { return equals_lower(word, k); });
        if (!keyword) return;
        while ((c = get_byte(reader)) >= 0 && c != '\n') {
        }
    }
}

failure read_header(source_reader& reader, grid_header& header) {
    if (ensure_bytes(reader, 3) >= 3 && std::memcmp(reader.pos, "\xEF\xBB\xBF", 3) == 0) {
        reader.pos += 3;
    }
    const header_line first = read_header_line(reader);
    if (reader.read_error) return read_failure(0, 0);
    if (!is_ascii_grid(first)) return {"Fatal error", "Unrecognized input file format:"};
    const header_line second = read_header_line(reader);
    if (failure f = read_nrows(second, header.nrows); f.failed()) return f;
    if (failure f = read_ncols(first, header.ncols); f.failed()) return f;
    skip_header(reader);
    if (reader.read_error) return read_failure(0, 0);
    return {};
}

namespace {

template <typename T>
[[gnu::always_inline]] inline number_scan<T> scan_cell(const char* p) {
    if constexpr (std::is_floating_point_v<T>) {
        return scan_cell_real<T>(p);
    } else {
        const number_scan<std::uint32_t> scan = scan_cell_integer(p);
        return {static_cast<T>(scan.value), scan.end, scan.ok};  // keeps the low bits
    }
}

template <typename T>
std::int32_t read_text_values(source_reader& reader, std::int32_t count, T* out) {
    const char* p = reader.pos;
    for (std::int32_t i = 0; i < count; ++i) {
        while (is_space(*p))
            ++p;
        if (p >= reader.token_limit) {
            p = next_token(reader, p, std::is_integral_v<T>);
            if (p == nullptr) return i;
            if (p == reader.spill.c_str()) {
                const number_scan<T> scan = scan_cell<T>(p);
                if (!scan.ok || scan.end != p + reader.spill.size()) return i;
                out[i] = scan.value;
                p = reader.pos;
                continue;
            }
        }
        const number_scan<T> scan = scan_cell<T>(p);
        if (!scan.ok || !is_space(*scan.end)) {
            reader.pos = const_cast<char*>(p);
            return i;
        }
        out[i] = scan.value;
        p = scan.end;
    }
    reader.pos = const_cast<char*>(p);
    return count;
}

[[noreturn]] void unknown_format() {
    fatal_error("Unknown format specifier in switch statement", "Fatal error:");
}

}  // namespace

std::int32_t read_ascii_row(source_reader& stream, std::int32_t count, int format, void* buffer) {
    if (!is_binary_format(format)) unknown_format();
    std::int32_t moved = 0;
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        moved = read_text_values<T>(stream, count, static_cast<T*>(buffer));
    });
    return std::max(moved, 0);
}

std::int32_t write_ascii_row(grid_target& stream, std::int32_t count, int format, void* buffer) {
    if (!is_binary_format(format)) unknown_format();
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        const T* values = static_cast<const T*>(buffer);
        char text[400];  // "%f" of the largest double needs 317 characters
        for (std::int32_t i = 0; i < count; ++i) {
            int n = 0;
            if constexpr (std::is_floating_point_v<T>) {
                n = std::snprintf(text, sizeof text, "%f\t", static_cast<double>(values[i]));
            } else if constexpr (std::is_signed_v<T>) {
                n = std::snprintf(text, sizeof text, "%d\t", static_cast<int>(values[i]));
            } else {
                n = std::snprintf(text, sizeof text, "%u\t", static_cast<unsigned>(values[i]));
            }
            put_elements(stream, reinterpret_cast<const unsigned char*>(text),
                         static_cast<std::size_t>(n), 1);
        }
    });
    put_elements(stream, reinterpret_cast<const unsigned char*>("\n"), 1, 1);
    return stream.failed || count < 1 ? 0 : count;
}

std::int32_t read_binary_row(source_reader& stream, std::int32_t count, int format, void* buffer) {
    if (count < 1) return 0;
    const auto width = static_cast<std::size_t>(element_size[format]);
    auto* out = static_cast<unsigned char*>(buffer);
    const std::size_t wanted = static_cast<std::size_t>(count) * width;
    std::size_t got = 0;
    while (got < wanted && ensure_bytes(stream, 1) != 0) {
        const std::size_t n =
            std::min(wanted - got, static_cast<std::size_t>(stream.end - stream.pos));
        std::memcpy(out + got, stream.pos, n);
        stream.pos += n;
        got += n;
    }
    swap_to_little_endian(out, got / width, static_cast<int>(width));  // the same swap reads them
    return static_cast<std::int32_t>(got / width);
}

std::int32_t write_binary_row(grid_target& stream, std::int32_t count, int format, void* buffer) {
    if (count < 1) return 0;
    const int width = element_size[format];
    const std::uint64_t row_start = stream.committed + stream.used;
    if (put_elements(stream, static_cast<const unsigned char*>(buffer),
                     static_cast<std::size_t>(count), width)) {
        return count;
    }
    const std::uint64_t reached = stream.committed > row_start ? stream.committed - row_start : 0;
    return static_cast<std::int32_t>(reached / static_cast<std::uint64_t>(width));
}

std::string lost_value_position(const grid_target& target, std::int32_t ncols, int width) {
    std::uint64_t row = 0;
    std::uint64_t column = 0;
    if (ncols > 0 && width > 0) {
        const std::uint64_t value = target.committed / static_cast<std::uint64_t>(width);
        row = value / static_cast<std::uint64_t>(ncols);
        column = value % static_cast<std::uint64_t>(ncols);
    }
    return row_column(row, column);
}

namespace {

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
                  source_reader& source_stream, int target_format, grid_target& target_stream) {
    const bool text_source = source_format == FMT_ASCII;
    const row_reader reader = text_source ? read_ascii_row : read_binary_row;
    const int memory_source = text_source ? target_format : source_format;
    const bool text_target = target_format == FMT_ASCII;
    const row_writer writer = text_target ? write_ascii_row : write_binary_row;
    const int memory_target = text_target ? memory_source : target_format;
    if (!is_binary_format(memory_source) || !is_binary_format(memory_target)) {
        if (nrows < 1) return {};
        return {"Fatal error:", "Unknown format specifier in switch statement"};
    }

    const auto source_row = allocate_row(ncols, element_size[memory_source]);
    if (!source_row) return {"Failure to allocate memory", ""};
    row_storage target_row;
    if (memory_target != memory_source) {
        target_row = allocate_row(ncols, element_size[memory_target]);
        if (!target_row) return {"Failure to allocate memory", ""};
    }
    unsigned char* target_buffer = target_row ? target_row.get() : source_row.get();

    // Rows of no values move nothing; counting through 2^31 of them would only take time.
    const std::int32_t rows = ncols == 0 ? 0 : nrows;
    for (std::int32_t r = 0; r < rows; ++r) {
        const std::int32_t read = reader(source_stream, ncols, memory_source, source_row.get());
        if (read != ncols) {
            flush_target(target_stream);  // the complete rows before this one stay in the file
            return read_failure(r, read);
        }
        convert_row(ncols, memory_source, source_row.get(), memory_target, target_buffer);
        if (writer(target_stream, ncols, memory_target, target_buffer) != ncols) {
            return {"Error writing output:",
                    lost_value_position(target_stream, ncols, element_size[memory_target])};
        }
    }
    if (!flush_target(target_stream)) {
        return {"Error writing output:",
                lost_value_position(target_stream, ncols, element_size[memory_target])};
    }
    return {};
}

void transfer_grid(std::int32_t nrows, std::int32_t ncols, int source_format,
                   source_reader& source_stream, int target_format, grid_target& target_stream) {
    const failure f =
        move_rows(nrows, ncols, source_format, source_stream, target_format, target_stream);
    if (f.failed()) fatal_error(f);
}
