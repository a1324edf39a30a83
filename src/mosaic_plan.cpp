#include "mosaic_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "exact_decimal.h"

namespace {

struct tile_cell {
    std::string width, height;
    const char* keyword;  // the one that gave the width: cellsize or dx
};

// A cellsize line wins over dx and dy, as GDAL reads the grid and as the sidecar says.
tile_cell cell_of(const grid_header& header) {
    if (!header.cellsize.empty()) return {header.cellsize, header.cellsize, "cellsize"};
    return {header.dx, header.dy, "dx"};
}

constexpr char PLACING_KEYWORDS[] =
    "a tile's header places it with xllcorner or xllcenter, yllcorner or yllcenter, and "
    "cellsize (or dx and dy)";

// A header value as a message shows it: one of a megabyte is cut, the line stays readable.
std::string shown_value(const std::string& text) {
    constexpr std::size_t SHOWN = 40;
    return printable(text.substr(0, SHOWN), text.size() > SHOWN);
}

failure not_placed(const std::string& path, const std::string& what,
                   const std::string& hint = PLACING_KEYWORDS) {
    return {MSG_TILE_NOT_PLACED, printable(path, false) + ": " + what, hint};
}

// Why a corner is not placed: it is missing, or its text is no decimal rastmill computes with.
failure no_corner(const std::string& path, const char* keyword, const std::string& value) {
    if (value.empty()) return not_placed(path, std::string("no ") + keyword);
    return not_placed(path,
                      std::string(keyword) + " " + shown_value(value) + " is not a decimal number",
                      "a corner is a decimal number, its exponent within 10^-400 to 10^400");
}

// The lower left corner along one axis, a centre moved back by half a cell.
std::optional<std::string> corner(const std::string& value, const std::string& size, bool centre) {
    if (!is_decimal(value)) return std::nullopt;
    return centre ? shifted_by_halves(value, size, -1) : std::optional<std::string>(value);
}

std::string cells_text(double cells) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", std::fabs(cells));
    return text;
}

// The shortest --snap that places a tile off by cells: the distance as shown, or just above it
// where the text rounded it down.
std::string snap_text(double cells) {
    std::string shown = cells_text(cells);
    if (std::strtod(shown.c_str(), nullptr) >= std::fabs(cells)) return shown;
    return cells_text(std::fabs(cells) * (1 + 1e-5));
}

}  // namespace

failure start_lattice(const grid_header& first, const std::string& path, double snap,
                      tile_lattice& lattice) {
    const tile_cell cell = cell_of(first);
    if (cell.width.empty() || cell.height.empty()) return not_placed(path, "no cellsize");
    if (!is_positive(cell.width) || !is_positive(cell.height)) {
        return not_placed(path, std::string(cell.keyword) + " " + shown_value(cell.width) +
                                    " is not a positive number");
    }
    const std::optional<std::string> x = corner(first.xll, cell.width, first.x_center);
    const std::optional<std::string> y = corner(first.yll, cell.height, first.y_center);
    if (!x) return no_corner(path, first.x_center ? "xllcenter" : "xllcorner", first.xll);
    if (!y) return no_corner(path, first.y_center ? "yllcenter" : "yllcorner", first.yll);
    lattice = {*x, *y, cell.width, cell.height, first.cellsize, first.dx, first.dy, snap};
    return {};
}

namespace {

// One axis of a tile's corner against the lattice's: whole cells, or how far off it lies.
failure place_axis(const tile_lattice& lattice, const grid_header& tile, const std::string& path,
                   bool x_axis, std::int64_t& cells) {
    const std::string& size = x_axis ? lattice.width : lattice.height;
    const bool centre = x_axis ? tile.x_center : tile.y_center;
    const char* keyword =
        x_axis ? (centre ? "xllcenter" : "xllcorner") : (centre ? "yllcenter" : "yllcorner");
    const std::optional<std::string> at = corner(x_axis ? tile.xll : tile.yll, size, centre);
    if (!at) return no_corner(path, keyword, x_axis ? tile.xll : tile.yll);
    const std::optional<lattice_offset> offset =
        offset_on_lattice(x_axis ? lattice.x : lattice.y, *at, size);
    if (!offset) {
        return not_placed(path, std::string(keyword) + " too far from the first tile",
                          "it lies 2^53 cells or more away from the first tile");
    }
    cells = offset->cells;
    if (offset->exact || std::fabs(offset->remainder) <= lattice.snap) return {};
    const char* direction =
        offset->remainder > 0 ? (x_axis ? "east" : "north") : (x_axis ? "west" : "south");
    const std::string distance = cells_text(offset->remainder);
    std::string hint;
    if (lattice.snap > 0) {
        hint = "it lies beyond --snap " + cells_text(lattice.snap) + " cells of the grid";
    } else if (std::fabs(offset->remainder) <= 1e-3) {
        hint = "where the drift is rounding in the headers, --snap " +
               snap_text(offset->remainder) + " places tiles that close to the grid on it";
    } else {
        hint = "its cells fall between the first tile's: it lies on another grid";
    }
    return not_placed(path,
                      std::string(keyword) + " " + distance + " cells " + direction +
                          " of the grid of the first tile",
                      hint);
}

}  // namespace

failure place_tile(const tile_lattice& lattice, const grid_header& tile, const std::string& path,
                   lattice_place& place) {
    if (tile.nrows < 1 || tile.ncols < 1) {
        return not_placed(path, "it holds no cells", "leave it out of the tiles");
    }
    const tile_cell cell = cell_of(tile);
    if (cell.width.empty() || cell.height.empty()) return not_placed(path, "no cellsize");
    const bool across = same_number(cell.width, lattice.width);
    if (!across || !same_number(cell.height, lattice.height)) {
        const std::string& size = across ? cell.height : cell.width;
        return not_placed(
            path,
            std::string(across ? (tile.cellsize.empty() ? "dy" : "cellsize") : cell.keyword) + " " +
                shown_value(size) + " differs from the first tile's " +
                shown_value(across ? lattice.height : lattice.width),
            "the tiles of a mosaic share one cell size: resample this one first");
    }
    failure f = place_axis(lattice, tile, path, true, place.east);
    if (!f.failed()) f = place_axis(lattice, tile, path, false, place.north);
    return f;
}

failure lay_out(const std::vector<lattice_place>& places, const std::vector<cell_rect>& sizes,
                mosaic_layout& layout) {
    layout = {};
    if (places.empty()) return {};
    std::int64_t west = INT64_MAX, south = INT64_MAX, east = INT64_MIN, north = INT64_MIN;
    for (std::size_t i = 0; i < places.size(); ++i) {
        west = std::min(west, places[i].east);
        south = std::min(south, places[i].north);
        east = std::max(east, places[i].east + sizes[i].ncols);
        north = std::max(north, places[i].north + sizes[i].nrows);
    }
    if (east - west > INT32_MAX || north - south > INT32_MAX) {
        return {MSG_MOSAIC_TOO_LARGE, std::to_string(north - south) + " rows x " +
                                          std::to_string(east - west) + " columns"};
    }
    layout.nrows = static_cast<std::int32_t>(north - south);
    layout.ncols = static_cast<std::int32_t>(east - west);
    layout.west = west;
    layout.south = south;
    layout.tiles.reserve(places.size());
    for (std::size_t i = 0; i < places.size(); ++i) {
        cell_rect rect = sizes[i];
        rect.row = static_cast<std::int32_t>(north - (places[i].north + sizes[i].nrows));
        rect.column = static_cast<std::int32_t>(places[i].east - west);
        layout.tiles.push_back(rect);
    }
    index_tiles(layout);
    return {};
}

grid_header mosaic_header(const tile_lattice& lattice, const mosaic_layout& layout) {
    grid_header header;
    header.nrows = layout.nrows;
    header.ncols = layout.ncols;
    header.xll = shifted_by_halves(lattice.x, lattice.width, 2 * layout.west).value_or("");
    header.yll = shifted_by_halves(lattice.y, lattice.height, 2 * layout.south).value_or("");
    header.cellsize = lattice.cellsize;
    header.dx = lattice.dx;
    header.dy = lattice.dy;
    return header;
}

bool for_each_gap(const mosaic_layout& layout, const std::function<bool(const cell_rect&)>& gap) {
    std::vector<std::int32_t> edges = {0, layout.nrows};
    for (const cell_rect& t : layout.tiles) {
        edges.push_back(t.row);
        edges.push_back(t.row + t.nrows);
    }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    std::vector<std::size_t> by_row(layout.tiles.size());
    for (std::size_t i = 0; i < by_row.size(); ++i)
        by_row[i] = i;
    std::sort(by_row.begin(), by_row.end(), [&](std::size_t a, std::size_t b) {
        return layout.tiles[a].row < layout.tiles[b].row;
    });
    std::vector<std::size_t> active;
    std::vector<std::pair<std::int32_t, std::int32_t>> spans;
    std::size_t next = 0;
    for (std::size_t e = 0; e + 1 < edges.size(); ++e) {
        const std::int32_t top = edges[e];
        const std::int32_t bottom = edges[e + 1];
        std::erase_if(active, [&](std::size_t i) {
            return layout.tiles[i].row + layout.tiles[i].nrows <= top;
        });
        for (; next < by_row.size() && layout.tiles[by_row[next]].row <= top; ++next)
            active.push_back(by_row[next]);
        spans.clear();
        for (const std::size_t i : active)
            spans.emplace_back(layout.tiles[i].column,
                               layout.tiles[i].column + layout.tiles[i].ncols);
        std::sort(spans.begin(), spans.end());
        std::int32_t covered = 0;
        spans.emplace_back(layout.ncols, layout.ncols);
        for (const auto& [from, to] : spans) {
            if (from > covered && !gap({top, covered, bottom - top, from - covered})) return false;
            covered = std::max(covered, to);
        }
    }
    return true;
}

namespace {

// The buckets [first, last] a tile's rows or columns touch.
std::pair<std::int64_t, std::int64_t> bucket_span(std::int32_t from, std::int32_t count,
                                                  std::int64_t size) {
    return {from / size, (static_cast<std::int64_t>(from) + count - 1) / size};
}

template <typename Visit>
void for_each_bucket(const mosaic_layout& layout, const cell_rect& t, Visit visit) {
    const auto [top, bottom] = bucket_span(t.row, t.nrows, layout.bucket_rows);
    const auto [left, right] = bucket_span(t.column, t.ncols, layout.bucket_cols);
    for (std::int64_t r = top; r <= bottom; ++r)
        for (std::int64_t c = left; c <= right; ++c)
            visit(static_cast<std::size_t>(r * layout.buckets_across + c));
}

}  // namespace

void index_tiles(mosaic_layout& layout) {
    const std::size_t count = layout.tiles.size();
    std::vector<std::int32_t> heights, widths;
    for (const cell_rect& t : layout.tiles) {
        heights.push_back(t.nrows);
        widths.push_back(t.ncols);
    }
    std::int64_t rows = 1, cols = 1;
    if (count != 0) {
        std::nth_element(heights.begin(), heights.begin() + count / 2, heights.end());
        std::nth_element(widths.begin(), widths.begin() + count / 2, widths.end());
        rows = std::max(1, heights[count / 2]);
        cols = std::max(1, widths[count / 2]);
    }
    // Tiles far apart would make most buckets empty: larger buckets then.
    const auto across = [&] { return (layout.ncols + cols - 1) / cols; };
    const auto down = [&] { return (layout.nrows + rows - 1) / rows; };
    const auto most = static_cast<std::int64_t>(4 * count + 16);
    while (across() * down() > most) {
        if (across() >= down()) {
            cols *= 2;
        } else {
            rows *= 2;
        }
    }
    layout.bucket_rows = rows;
    layout.bucket_cols = cols;
    layout.buckets_across = std::max<std::int64_t>(1, across());
    const auto buckets =
        static_cast<std::size_t>(layout.buckets_across * std::max<std::int64_t>(1, down()));
    layout.first_in.assign(buckets + 1, 0);
    for (const cell_rect& t : layout.tiles)
        for_each_bucket(layout, t, [&](std::size_t b) { ++layout.first_in[b + 1]; });
    for (std::size_t b = 0; b < buckets; ++b)
        layout.first_in[b + 1] += layout.first_in[b];
    layout.bucketed.assign(layout.first_in[buckets], 0);
    std::vector<std::uint32_t> filled(layout.first_in.begin(), layout.first_in.end() - 1);
    for (std::size_t i = 0; i < count; ++i) {
        for_each_bucket(layout, layout.tiles[i], [&](std::size_t b) {
            layout.bucketed[filled[b]++] = static_cast<std::uint32_t>(i);
        });
    }
}

std::vector<tile_overlap> overlaps_before(const mosaic_layout& layout, std::size_t tile) {
    const cell_rect& t = layout.tiles[tile];
    std::vector<std::uint32_t> near;
    for_each_bucket(layout, t, [&](std::size_t b) {
        for (std::uint32_t k = layout.first_in[b]; k < layout.first_in[b + 1]; ++k)
            if (layout.bucketed[k] < tile) near.push_back(layout.bucketed[k]);
    });
    std::sort(near.begin(), near.end());
    near.erase(std::unique(near.begin(), near.end()), near.end());
    std::vector<tile_overlap> found;
    for (const std::uint32_t i : near) {
        const cell_rect& o = layout.tiles[i];
        const std::int32_t top = std::max(t.row, o.row);
        const std::int32_t bottom = std::min(t.row + t.nrows, o.row + o.nrows);
        const std::int32_t left = std::max(t.column, o.column);
        const std::int32_t right = std::min(t.column + t.ncols, o.column + o.ncols);
        if (top < bottom && left < right) {
            found.push_back({i, {top, left, bottom - top, right - left}});
        }
    }
    return found;
}
