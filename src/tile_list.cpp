#include "tile_list.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "chars.h"
#include "grid_source.h"
#include "paths.h"
#include "written_files.h"

namespace {

// A tile's name in a folder: a grid, a gzipped grid, or a zip archive of grids.
bool names_a_grid(const std::filesystem::path& name) {
    std::string lowered = held_name(name);
    for (char& c : lowered)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto ends_with = [&](std::string_view end) {
        return lowered.size() > end.size() &&
               lowered.compare(lowered.size() - end.size(), end.size(), end) == 0;
    };
    return ends_with(".asc") || ends_with(".asc.gz") || ends_with(".zip");
}

// Each zip archive among paths replaced by its grids, in name order.
failure expand_archives(std::vector<std::string>& paths) {
    std::vector<std::string> expanded;
    std::vector<std::string> grids;
    for (std::string& path : paths) {
        if (!is_zip_archive(path)) {
            expanded.push_back(std::move(path));
            continue;
        }
        if (failure f = grids_in_archive(path, grids); f.failed()) return f;
        expanded.insert(expanded.end(), grids.begin(), grids.end());
    }
    paths = std::move(expanded);
    return {};
}

failure tiles_of_folder(const std::string& folder, std::vector<std::string>& paths) {
    std::error_code error;
    std::filesystem::directory_iterator entries(native_path(folder), error);
    if (error) return {MSG_CANNOT_OPEN, folder, error.message()};
    for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        if (error) return {MSG_CANNOT_OPEN, folder, error.message()};
        const std::filesystem::path& path = entries->path();
        std::error_code kind;
        if (!names_a_grid(path.filename()) || entries->is_directory(kind)) continue;
        paths.push_back(held_name(path));
    }
    if (error) return {MSG_CANNOT_OPEN, folder, error.message()};
    std::sort(paths.begin(), paths.end());
    return {};
}

std::string_view trimmed(std::string_view line) {
    while (!line.empty() && is_space(line.front()))
        line.remove_prefix(1);
    while (!line.empty() && is_space(line.back()))
        line.remove_suffix(1);
    return line;
}

// A grid's header lines come in any order, as GDAL reads them: any of its keywords with a value.
bool starts_a_grid(std::string_view line) {
    std::size_t end = 0;
    while (end < line.size() && !is_space(line[end]))
        ++end;
    std::string word(line.substr(0, end));
    for (char& c : word)
        c = static_cast<char>(c | 0x20);
    for (const char* keyword : {"ncols", "nrows", "xllcorner", "xllcenter", "yllcorner",
                                "yllcenter", "cellsize", "dx", "dy", "nodata_value"}) {
        if (word == keyword) return true;
    }
    return false;
}

}  // namespace

failure tiles_of_list_text(const std::string& text, const std::string& folder,
                           const std::string& source, std::vector<std::string>& paths) {
    const std::string_view hint =
        "TILES is a folder of .asc tiles, a zip archive of them, a file naming one tile a line, or "
        "- for such a list on standard input";
    std::string_view rest = text;
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
    if (rest.find('\0') != std::string_view::npos) return {MSG_NOT_A_TILE_LIST, source, hint};
    bool first = true;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = trimmed(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (end > LONGEST_TILE_LINE || (first && starts_a_grid(line))) {
            return {MSG_NOT_A_TILE_LIST, source, hint};
        }
        first = first && line.empty();
        if (line.empty() || line.front() == '#') continue;
        const std::string path(line);
        paths.push_back(folder.empty() ? path : held_name(native_path(folder) / native_path(path)));
    }
    return {};
}

failure read_tile_list(const std::string& tiles, std::vector<std::string>& paths) {
    paths.clear();
    std::error_code error;
    failure f;
    if (tiles != "-" && std::filesystem::is_directory(native_path(tiles), error)) {
        f = tiles_of_folder(tiles, paths);
    } else if (tiles != "-" && is_zip_archive(tiles)) {
        paths.push_back(tiles);
    } else {
        std::FILE* list = tiles == "-" ? stdin : open_named(tiles, "rb");
        if (list == nullptr) return {MSG_CANNOT_OPEN, tiles};
        std::string text;
        char block[16384];
        std::size_t got = 0;
        // A list is read once, as it comes: it may be a pipe.
        while ((got = std::fread(block, 1, sizeof block, list)) != 0) {
            text.append(block, got);
            if (text.size() > LONGEST_TILE_LIST) break;
        }
        const bool bad = std::ferror(list) != 0;
        if (list != stdin) std::fclose(list);
        if (bad) return {MSG_CANNOT_OPEN, tiles};
        if (text.size() > LONGEST_TILE_LIST)
            return {MSG_NOT_A_TILE_LIST, tiles, "longer than 64 MiB"};
        // A list through /dev/stdin, /dev/fd/N or <(...) has no folder of its own: its paths are
        // the current folder's, as with "-".
        const std::string folder = tiles == "-" || beside_devices(tiles)
                                       ? std::string()
                                       : held_name(native_path(tiles).parent_path());
        f = tiles_of_list_text(text, folder, tiles, paths);
    }
    if (!f.failed()) f = expand_archives(paths);
    if (!f.failed() && paths.empty()) f = {MSG_NO_TILES, tiles};
    return f;
}
