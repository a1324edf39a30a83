// Where the tiles of a mosaic go: every tile's header placed on the lattice of the first tile's
// cells in exact decimal arithmetic, the smallest rectangle holding them all, and the cells that
// no tile or more than one covers. Pure: headers in, places and failures out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "failure.h"
#include "header.h"
#include "target.h"

// The lattice every tile must lie on: the first tile's lower left corner and its cells.
struct tile_lattice {
    std::string x, y;              // the corner, exact
    std::string width, height;     // of a cell: dx and dy, or cellsize
    std::string cellsize, dx, dy;  // as the first tile wrote them
    double snap = 0;               // offsets within this many cells are placed on the lattice
};

// A tile placed on the lattice: its lower left corner, in whole cells east and north of the first
// tile's.
struct lattice_place {
    std::int64_t east = 0;
    std::int64_t north = 0;
};

// Starts the lattice from the first tile's header (path names it in messages); snap in cells,
// from 0 to below 0.5. Fails with "Cannot place tile:" where the header lacks a cell size or a
// corner, or gives one that is not a decimal or not positive.
failure start_lattice(const grid_header& first, const std::string& path, double snap,
                      tile_lattice& lattice);

// Places a tile: its cell size must equal the lattice's as a decimal number, and its lower left
// corner (a centre shifted by half a cell) lie a whole number of cells from the first tile's, or
// within snap cells of it. Fails with "Cannot place tile:" naming the tile, the keyword and how
// far off the lattice it lies, with a hint.
failure place_tile(const tile_lattice& lattice, const grid_header& tile, const std::string& path,
                   lattice_place& place);

// Cells of the mosaic, rows from the north: a tile's or a part of one, as a tile's target takes
// them.
using cell_rect = tile_cells;

// The mosaic of tiles of the given sizes at their places: its size in cells and each tile's
// rectangle in it. Fails with "Mosaic too large:" where a side passes 2^31 - 1 cells.
struct mosaic_layout {
    std::int32_t nrows = 0;
    std::int32_t ncols = 0;
    std::int64_t west = 0;  // the mosaic's lower left corner, in lattice cells
    std::int64_t south = 0;
    std::vector<cell_rect> tiles;
    // The tiles by the buckets of cells they touch (bucket_rows x bucket_cols cells each, in rows
    // of buckets_across), so that a tile's overlaps are found among its neighbours, not among
    // every tile: bucket b's tiles are bucketed[first_in[b] .. first_in[b + 1]).
    std::int64_t bucket_rows = 1;
    std::int64_t bucket_cols = 1;
    std::int64_t buckets_across = 0;
    std::vector<std::uint32_t> first_in;
    std::vector<std::uint32_t> bucketed;
};
failure lay_out(const std::vector<lattice_place>& places, const std::vector<cell_rect>& sizes,
                mosaic_layout& layout);

// Fills layout's buckets from its tiles (lay_out does): buckets of about a typical tile's size,
// no more of them than four a tile.
void index_tiles(mosaic_layout& layout);

// The header of the mosaic of layout on lattice: its counts, lower left corner and cell size
// (the first tile's keywords); no no-data value.
grid_header mosaic_header(const tile_lattice& lattice, const mosaic_layout& layout);

// Calls gap for the rectangles no tile covers, north first and west first within a band of rows,
// until it returns false. Returns false when it did.
bool for_each_gap(const mosaic_layout& layout, const std::function<bool(const cell_rect&)>& gap);

// Where tile overlaps one listed before it: that tile's index, and the shared cells.
struct tile_overlap {
    std::size_t earlier = 0;
    cell_rect cells;
};
// Where tile number tile overlaps the tiles listed before it, in their order; layout's buckets
// must be filled.
std::vector<tile_overlap> overlaps_before(const mosaic_layout& layout, std::size_t tile);
