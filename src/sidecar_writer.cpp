#include "sidecar_writer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "chars.h"
#include "exact_decimal.h"
#include "formats.h"
#include "grid_source.h"
#include "narrowing.h"
#include "paths.h"
#include "text_span.h"

namespace {

// A .prj read out of an archive is cut here: a projection's text is a few kilobytes.
constexpr std::size_t LONGEST_COPIED_PRJ = std::size_t(1) << 20;

failure write_text(const std::string& text, const std::string& path) {
    std::ofstream out(native_path(path), std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) return {MSG_WRITE_ERROR, path};
    return {};
}

// The no-data value as the target stores it, written back as text.
std::optional<std::string> stored_nodata(const std::string& text, element_format format) {
    unsigned char stored[8];
    if (!parse_one_value(text, format, stored)) return std::nullopt;
    return element_text(format, stored);
}

// Where the cells lie, from a header that gives it all: the cell sizes as written (a cellsize line
// wins over dx and dy, as GDAL reads the grid).
struct cell_placing {
    std::string xdim, ydim;
};

std::optional<cell_placing> placing_of(const grid_header& header) {
    cell_placing at{header.cellsize.empty() ? header.dx : header.cellsize,
                    header.cellsize.empty() ? header.dy : header.cellsize};
    if (header.xll.empty() || header.yll.empty() || !is_decimal(at.xdim) || !is_decimal(at.ydim)) {
        return std::nullopt;
    }
    return at;
}

void add_line(std::string& text, std::string_view key, const std::string& value) {
    text.append(key).append(std::string(15 - key.size(), ' ')).append(value).append("\n");
}

}  // namespace

bool sidecar_supported(element_format format) {
    return info_of(format).width <= 4;
}

std::string ehdr_text(const grid_header& header, element_format format) {
    const format_info& info = info_of(format);
    const auto row_bytes = std::to_string(static_cast<std::uint64_t>(header.ncols) *
                                          static_cast<unsigned>(info.width));
    std::string text;
    add_line(text, "BYTEORDER", "I");
    add_line(text, "LAYOUT", "BIL");
    add_line(text, "NROWS", std::to_string(header.nrows));
    add_line(text, "NCOLS", std::to_string(header.ncols));
    add_line(text, "NBANDS", "1");
    add_line(text, "NBITS", std::to_string(info.width * 8));
    add_line(text, "BANDROWBYTES", row_bytes);
    add_line(text, "TOTALROWBYTES", row_bytes);
    // Spelled out for every kind: some readers take a missing PIXELTYPE for float.
    add_line(text, "PIXELTYPE",
             info.kind == element_kind::real             ? "FLOAT"
             : info.kind == element_kind::signed_integer ? "SIGNEDINT"
                                                         : "UNSIGNEDINT");
    if (const std::optional<cell_placing> at = placing_of(header)) {
        // The centre of the upper-left cell: half a cell in from the lower-left corner, and
        // nrows - 1/2 cells up (nrows - 1 from the centre of the lower-left cell).
        const auto rows = static_cast<std::int64_t>(header.nrows);
        const auto x = shifted_by_halves(header.xll, at->xdim, header.x_center ? 0 : 1);
        const std::int64_t up = rows == 0 ? 0 : (header.y_center ? 2 * rows - 2 : 2 * rows - 1);
        const auto y = shifted_by_halves(header.yll, at->ydim, up);
        if (x && y) {
            add_line(text, "ULXMAP", *x);
            add_line(text, "ULYMAP", *y);
            add_line(text, "XDIM", at->xdim);
            add_line(text, "YDIM", at->ydim);
        }
    }
    if (!header.nodata.empty()) {
        if (const auto nodata = stored_nodata(header.nodata, format)) {
            add_line(text, "NODATA", *nodata);
        }
    }
    return text;
}

std::optional<std::string> float_grid_text(const grid_header& header) {
    const std::optional<cell_placing> at = placing_of(header);
    if (!at || !same_number(at->xdim, at->ydim)) return std::nullopt;
    // The lower-left corner: half a cell out from the centre of the lower-left cell.
    const auto x = shifted_by_halves(header.xll, at->xdim, header.x_center ? -1 : 0);
    const auto y = shifted_by_halves(header.yll, at->ydim, header.y_center ? -1 : 0);
    if (!x || !y) return std::nullopt;
    std::string text;
    add_line(text, "NCOLS", std::to_string(header.ncols));
    add_line(text, "NROWS", std::to_string(header.nrows));
    add_line(text, "XLLCORNER", *x);
    add_line(text, "YLLCORNER", *y);
    add_line(text, "CELLSIZE", at->xdim);
    if (!header.nodata.empty()) {
        if (const auto nodata = stored_nodata(header.nodata, FMT_FLOAT)) {
            add_line(text, "NODATA_VALUE", *nodata);
        }
    }
    add_line(text, "BYTEORDER", "LSBFIRST");
    return text;
}

std::string sidecar_text(const grid_header& header, element_format format,
                         const std::string& target) {
    std::string extension = held_name(native_path(target).extension());
    std::transform(extension.begin(), extension.end(), extension.begin(), to_lower);
    if (format == FMT_FLOAT && extension == ".flt") {
        if (std::optional<std::string> text = float_grid_text(header)) return *text;
    }
    return ehdr_text(header, format);
}

failure write_sidecars(const grid_header& header, element_format format,
                       const std::string& source_prj, const std::string& target) {
    const std::string hdr = sidecar_path(target, ".hdr");
    if (failure f = write_text(sidecar_text(header, format, target), hdr); f.failed()) return f;
    return write_prj(source_prj, target);
}

failure write_prj(const std::string& source_prj, const std::string& target) {
    const std::string target_prj = sidecar_path(target, ".prj");
    std::error_code error;
    const std::filesystem::path from = native_path(source_prj);
    const std::filesystem::path to = native_path(target_prj);
    // A .prj that is a member of the source's archive is written out from it.
    const bool member = !source_prj.empty() && !std::filesystem::exists(from, error);
    grid_source opened;
    const std::optional<std::string> member_text =
        member ? small_source_text(source_prj, LONGEST_COPIED_PRJ, opened) : std::nullopt;
    if (member_text) return write_text(*member_text, target_prj);
    if (source_prj.empty() || !std::filesystem::is_regular_file(from, error)) {
        // A .prj left from an earlier run would give the new cells a projection they lack.
        const auto found = std::filesystem::symlink_status(to, error);
        if (!std::filesystem::exists(found) || std::filesystem::is_directory(found)) return {};
        if (!std::filesystem::remove(to, error) || error) return {MSG_WRITE_ERROR, target_prj};
        return {};
    }
    if (std::filesystem::equivalent(from, to, error)) return {};
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    if (error) return {MSG_WRITE_ERROR, target_prj};
    return {};
}
