#include "source_hints.h"

#include <filesystem>
#include <initializer_list>
#include <system_error>

#include "chars.h"
#include "failure.h"
#include "paths.h"
#include "sidecar_writer.h"

namespace {

// Whether the unread bytes begin with one of keys, in any letter case.
bool starts_with_any(source_reader& reader, std::initializer_list<std::string_view> keys) {
    for (const std::string_view key : keys) {
        if (ensure_bytes(reader, key.size()) < key.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < key.size() && same; ++i)
            same = to_lower(reader.pos[i]) == key[i];
        if (same) return true;
    }
    return false;
}

}  // namespace

source_look look_at_source(source_reader& reader) {
    // A text source that ends without a line end is given one; an empty file has only that.
    if (ensure_bytes(reader, 1) == 0 || is_added_newline(reader, reader.pos)) {
        return source_look::empty;
    }
    // A header cut short (ncols alone) is a broken grid, not raw cells.
    if (starts_with_any(reader, {"ncols", "nrows"})) return source_look::header_begun;
    if (starts_with_any(reader, {"north:", "south:", "east:", "west:", "rows:", "cols:"})) {
        return source_look::grass;
    }
    return source_look::other;
}

std::string not_a_grid_hint(source_look look, const std::string& path) {
    if (look == source_look::empty) return (path == "-" ? "standard input" : path) + " is empty";
    if (look == source_look::header_begun) {
        return path + " begins as an Arc ascii grid, but its header lacks ncols or nrows";
    }
    if (look == source_look::grass) {
        return path +
               " is a GRASS ASCII grid: convert it with r.out.gdal or gdal_translate -of "
               "AAIGrid";
    }
    if (path == "-")
        return "standard input holds no Arc ascii grid: for raw cells give --like GRID "
               "and --from FORMAT";
    std::error_code error;
    const std::string hdr = sidecar_path(path, ".hdr");
    const auto status = std::filesystem::status(native_path(path), error);
    if (std::filesystem::is_fifo(status)) {
        if (std::filesystem::is_regular_file(native_path(hdr), error)) {
            return path + " is a pipe, read once: give --from FORMAT to read raw cells with " + hdr;
        }
        return path + " is a pipe, read once: for raw cells give --like GRID and --from FORMAT";
    }
    std::string hint =
        path + " is no Arc ascii grid: for raw cells give --like GRID and --from FORMAT";
    if (std::filesystem::is_regular_file(status)) hint += ", or put " + hdr + " beside it";
    return hint;
}
