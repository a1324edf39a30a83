#include "raw_source.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "chars.h"
#include "exact_decimal.h"
#include "grid_source.h"
#include "paths.h"
#include "raw_sidecar.h"
#include "sidecar_writer.h"
#include "text_span.h"

namespace {

bool is_file(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(native_path(path), error);
}

// The most of a template's header kept, byte for byte: a header line may be of any length.
constexpr std::size_t LONGEST_TEMPLATE_HEADER = std::size_t(16) << 20;

// The header's lines, from the bytes it consumed: the white space before the first value on its
// line belongs to the rows; a last line that ends the file without a line end gets the line end of
// the line before it.
void end_header_lines(std::string& text) {
    const std::size_t last = text.find_last_of('\n');
    const std::size_t tail = last == std::string::npos ? 0 : last + 1;
    if (std::all_of(text.begin() + static_cast<std::ptrdiff_t>(tail), text.end(),
                    [](char c) { return is_header_separator(c); })) {
        text.resize(tail);
    } else {
        text += last != std::string::npos && last > 0 && text[last - 1] == '\r' ? "\r\n" : "\n";
    }
}

std::string counts_text(const grid_header& header) {
    return std::to_string(header.nrows) + " x " + std::to_string(header.ncols);
}

}  // namespace

bool raw_by_sidecar(const std::string& source) {
    // Only a regular file can be looked into first: a pipe's bytes would be gone.
    if (source == "-" || !is_file(source) || !is_file(sidecar_path(source, ".hdr"))) return false;
    grid_source opened;
    source_reader reader;
    // A source that cannot be opened is not raw: opening it again says why.
    if (open_grid_source(opened, source, reader, true, false).failed()) return false;
    grid_header header;
    const failure f = read_header(reader, header);
    return f.detail == MSG_NOT_A_GRID;
}

failure find_raw_layout(const std::string& source, const std::string& like,
                        std::optional<element_format> from, raw_layout& layout) {
    raw_sidecar sidecar;
    if (source != "-" && is_file(sidecar_path(source, ".hdr"))) {
        layout.sidecar_path = sidecar_path(source, ".hdr");
        if (failure f = read_sidecar(layout.sidecar_path, sidecar); f.failed()) {
            // Another tool's .hdr (an ENVI header) is no concern where the options say it all.
            if (like.empty() || !from) return f;
            layout.sidecar_path.clear();
        }
    }
    const bool has_sidecar = !layout.sidecar_path.empty();
    if (!like.empty()) {
        layout.template_path = like;
        if (failure f = read_template(like, layout.header, layout.header_text); f.failed()) {
            return f;
        }
        if (has_sidecar && (sidecar.header.nrows != layout.header.nrows ||
                            sidecar.header.ncols != layout.header.ncols)) {
            return {MSG_SIDECAR_DISAGREES, layout.sidecar_path + " has " +
                                               counts_text(sidecar.header) + ", " + like + " " +
                                               counts_text(layout.header)};
        }
    } else if (has_sidecar) {
        layout.header = sidecar.header;
        layout.header_text = grid_header_text(sidecar.header);
    } else {
        return {MSG_RAW_LAYOUT, source};
    }
    // The sidecar says how elements are stored, not which name gave them: long is 32-bit here.
    const auto stored = [](element_format f) {
        return std::pair(info_of(f).kind, info_of(f).width);
    };
    if (from && has_sidecar && stored(*from) != stored(sidecar.format)) {
        return {MSG_SIDECAR_DISAGREES, layout.sidecar_path + " says " + sidecar.format_words +
                                           " (" + std::string(info_of(sidecar.format).name) +
                                           "), --from " + std::string(info_of(*from).name)};
    }
    if (!from && !has_sidecar) return {MSG_RAW_FORMAT, source};
    layout.format = from ? *from : sidecar.format;
    layout.big_endian = has_sidecar && sidecar.big_endian;
    return {};
}

failure read_template(const std::string& path, grid_header& header, std::string& text) {
    std::error_code error;
    if (std::filesystem::is_directory(native_path(path), error)) {
        return {MSG_CANNOT_OPEN, path, "the template is a folder"};
    }
    if (path == "-") return {MSG_CANNOT_OPEN, path, "a template from standard input is /dev/stdin"};
    grid_source template_source;
    source_reader reader;
    if (failure f = open_grid_source(template_source, path, reader, true, false); f.failed()) {
        if (f.message == MSG_CANNOT_OPEN) f.hint = "the template: " + f.hint;
        return f;
    }
    // Kept as it is read: a template through a pipe or a FIFO cannot be read again.
    text.clear();
    reader.keep = &text;
    reader.keep_limit = LONGEST_TEMPLATE_HEADER;
    failure f = read_header(reader, header);
    keep_consumed(reader);
    if (f.failed()) f = check_grid_source(template_source, f);
    if (!f.failed() && !reader.kept_all) f = {MSG_TEMPLATE_HEADER_TOO_LONG, path};
    end_header_lines(text);
    return f;
}

cell_text template_style(const grid_header& header, const std::string& text,
                         element_format format) {
    cell_text style;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) style.line_end = "\r\n";
    if (!header.nodata.empty() && parse_one_value(header.nodata, format, style.nodata_bytes)) {
        style.nodata = header.nodata;
    }
    return style;
}

failure check_raw_size(const source_reader& source, const std::string& path,
                       const grid_header& header, element_format format) {
    const std::optional<std::uint64_t> size = bytes_left(source);
    if (!size) return {};
    const std::uint64_t cells =
        header.nrows < 1 || header.ncols < 1
            ? 0
            : static_cast<std::uint64_t>(header.nrows) * static_cast<std::uint64_t>(header.ncols);
    // Counts from a sidecar can ask for more than 64 bits hold: no file is that long.
    const std::uint64_t width = width_of(format);
    if (cells <= UINT64_MAX / width && *size == cells * width) return {};
    return {MSG_RAW_SIZE, path + " holds " + std::to_string(*size) + " bytes; " +
                              std::to_string(header.nrows) + " x " + std::to_string(header.ncols) +
                              " " + std::string(info_of(format).name) + " take " +
                              product_text(cells, width)};
}
