// Where the tiles of a mosaic go: placed on the first tile's lattice to the exact decimal, or
// refused with the keyword and the distance; the mosaic's rectangle, its gaps and its overlaps.
#include "mosaic_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "failure.h"

namespace {

grid_header tile(std::int32_t nrows, std::int32_t ncols, std::string xll, std::string yll,
                 std::string cellsize = "2") {
    grid_header h;
    h.nrows = nrows;
    h.ncols = ncols;
    h.xll = std::move(xll);
    h.yll = std::move(yll);
    h.cellsize = std::move(cellsize);
    return h;
}

grid_header centred(grid_header h) {
    h.x_center = h.y_center = true;
    return h;
}

TEST(MosaicPlan, TilesPlacedOrRefusedOnTheFirstTilesLattice) {
    const grid_header first = tile(3, 4, "100", "200");
    grid_header dxdy = tile(3, 4, "108", "200", "");
    dxdy.dx = "2.0";
    dxdy.dy = "2";
    grid_header other_dy = dxdy;
    other_dy.dy = "3";
    // GDAL reads cellsize where a header gives dx and dy too.
    grid_header cellsize_and_dy = tile(3, 4, "108", "200");
    cellsize_and_dy.dx = "2";
    cellsize_and_dy.dy = "3";
    struct {
        const char* name;
        grid_header header;
        double snap;
        std::int64_t east, north;
        std::string detail;  // empty: placed
    } const cases[] = {
        {"east neighbour", tile(3, 4, "108", "200"), 0, 4, 0, ""},
        {"cellsize 2.0 is 2", tile(3, 4, "108", "206", "2.000000000000"), 0, 4, 3, ""},
        {"other counts on the lattice", tile(7, 1, "98", "194"), 0, -1, -3, ""},
        {"centres of the same lattice", centred(tile(3, 4, "109", "201")), 0, 4, 0, ""},
        {"dx and dy", dxdy, 0, 4, 0, ""},
        {"half a cell east", tile(3, 4, "109", "200"), 0, 0, 0,
         "t: xllcorner 0.5 cells east of the grid of the first tile"},
        {"half a cell north", tile(3, 4, "100", "207"), 0, 0, 0,
         "t: yllcorner 0.5 cells north of the grid of the first tile"},
        {"a centre half a cell off", centred(tile(3, 4, "100", "200")), 0, 0, 0,
         "t: xllcenter 0.5 cells west of the grid of the first tile"},
        {"drift without --snap", tile(3, 4, "108.000000002", "200"), 0, 0, 0,
         "t: xllcorner 1e-09 cells east of the grid of the first tile"},
        {"drift within --snap", tile(3, 4, "108.000000002", "199.999999998"), 1e-6, 4, 0, ""},
        {"drift beyond --snap", tile(3, 4, "108.00002", "200"), 1e-6, 0, 0,
         "t: xllcorner 1e-05 cells east of the grid of the first tile"},
        {"other cell size", tile(3, 4, "108", "200", "2.5"), 0, 0, 0,
         "t: cellsize 2.5 differs from the first tile's 2"},
        {"other dy", other_dy, 0, 0, 0, "t: dy 3 differs from the first tile's 2"},
        {"cellsize wins over dx and dy", cellsize_and_dy, 0, 4, 0, ""},
        {"a cell size of a megabyte, cut",
         tile(3, 4, "108", "200", "2.5" + std::string(1 << 20, '0')), 0, 0, 0,
         "t: cellsize 2.5" + std::string(37, '0') + "... differs from the first tile's 2"},
        {"no corner", tile(3, 4, "", "200"), 0, 0, 0, "t: no xllcorner"},
        {"a corner rastmill cannot compute with",
         tile(3, 4, "108." + std::string(500000, '0'), "200"), 0, 0, 0,
         "t: xllcorner 108." + std::string(36, '0') + "... is not a decimal number"},
        {"no cells", tile(0, 4, "108", "200"), 0, 0, 0, "t: it holds no cells"},
        {"far beyond any grid", tile(3, 4, "1e30", "200"), 0, 0, 0,
         "t: xllcorner too far from the first tile"},
    };
    tile_lattice lattice;
    for (const auto& c : cases) {
        ASSERT_FALSE(start_lattice(first, "first", c.snap, lattice).failed());
        lattice_place place;
        const failure f = place_tile(lattice, c.header, "t", place);
        if (c.detail.empty()) {
            EXPECT_FALSE(f.failed()) << c.name << ": " << f.detail;
            EXPECT_EQ(place.east, c.east) << c.name;
            EXPECT_EQ(place.north, c.north) << c.name;
        } else {
            EXPECT_EQ(f.message, MSG_TILE_NOT_PLACED) << c.name;
            EXPECT_EQ(f.detail, c.detail) << c.name;
            EXPECT_FALSE(f.hint.empty()) << c.name;
        }
    }
    EXPECT_TRUE(start_lattice(tile(3, 4, "100", "200", "-2"), "first", 0, lattice).failed());
    EXPECT_TRUE(start_lattice(tile(3, 4, "100", "200", "0"), "first", 0, lattice).failed());
    EXPECT_TRUE(start_lattice(tile(3, 4, "100", "", "2"), "first", 0, lattice).failed());
}

TEST(MosaicPlan, TheSnapTheHintAdvisesPlacesTheTile) {
    const grid_header first = tile(3, 4, "100", "200");
    struct {
        std::string xll;
        std::string snap;
    } const cases[] = {
        {"108.000000002", "1e-09"},
        // 1.0000004e-09 cells: "1e-09" would fall short of it.
        {"108.0000000020000008", "1.00001e-09"},
        {"107.999999998", "1e-09"},
    };
    tile_lattice lattice;
    ASSERT_FALSE(start_lattice(first, "first", 0, lattice).failed());
    for (const auto& c : cases) {
        lattice_place place;
        const failure f = place_tile(lattice, tile(3, 4, c.xll, "200"), "t", place);
        EXPECT_EQ(f.hint, "where the drift is rounding in the headers, --snap " + c.snap +
                              " places tiles that close to the grid on it")
            << c.xll;
        tile_lattice snapped;
        ASSERT_FALSE(
            start_lattice(first, "first", std::strtod(c.snap.c_str(), nullptr), snapped).failed());
        EXPECT_FALSE(place_tile(snapped, tile(3, 4, c.xll, "200"), "t", place).failed()) << c.xll;
    }
}

TEST(MosaicPlan, TheSmallestRectangleHoldingEveryTileNorthFirst) {
    // A 2 x 2 lattice of 3 x 4 tiles with the south-east one missing, and a tile west of all.
    const std::vector<lattice_place> places = {{0, 3}, {4, 3}, {0, 0}, {-2, 1}};
    const std::vector<cell_rect> sizes = {{0, 0, 3, 4}, {0, 0, 3, 4}, {0, 0, 3, 4}, {0, 0, 1, 2}};
    mosaic_layout layout;
    ASSERT_FALSE(lay_out(places, sizes, layout).failed());
    EXPECT_EQ(layout.nrows, 6);
    EXPECT_EQ(layout.ncols, 10);
    EXPECT_EQ(layout.west, -2);
    EXPECT_EQ(layout.south, 0);
    ASSERT_EQ(layout.tiles.size(), 4u);
    EXPECT_EQ(layout.tiles[0].row, 0);
    EXPECT_EQ(layout.tiles[0].column, 2);
    EXPECT_EQ(layout.tiles[1].column, 6);
    EXPECT_EQ(layout.tiles[2].row, 3);
    EXPECT_EQ(layout.tiles[3].row, 4);
    EXPECT_EQ(layout.tiles[3].column, 0);

    tile_lattice lattice;
    ASSERT_FALSE(start_lattice(tile(3, 4, "100.5", "200", "0.25"), "f", 0, lattice).failed());
    const grid_header header = mosaic_header(lattice, layout);
    EXPECT_EQ(header.xll, "100");
    EXPECT_EQ(header.yll, "200");
    EXPECT_EQ(header.cellsize, "0.25");

    std::vector<cell_rect> gaps;
    for_each_gap(layout, [&](const cell_rect& g) {
        gaps.push_back(g);
        return true;
    });
    // Rows 0-2: west of the tiles; row 3: west; row 4: beyond the one-cell tile; row 5: west;
    // rows 3-5: where the south-east tile is missing.
    const std::vector<std::vector<std::int32_t>> expected = {
        {0, 0, 3, 2}, {3, 0, 1, 2}, {3, 6, 1, 4}, {4, 6, 1, 4}, {5, 0, 1, 2}, {5, 6, 1, 4}};
    ASSERT_EQ(gaps.size(), expected.size());
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        EXPECT_EQ(
            (std::vector<std::int32_t>{gaps[i].row, gaps[i].column, gaps[i].nrows, gaps[i].ncols}),
            expected[i])
            << i;
    }
    EXPECT_FALSE(for_each_gap(layout, [](const cell_rect&) { return false; }));

    const std::vector<lattice_place> far = {{0, 0}, {INT32_MAX, 0}};
    EXPECT_EQ(lay_out(far, {{0, 0, 1, 1}, {0, 0, 1, 1}}, layout).message, MSG_MOSAIC_TOO_LARGE);
}

TEST(MosaicPlan, OverlapsWithTheTilesListedBefore) {
    mosaic_layout layout;
    layout.nrows = 5;
    layout.ncols = 5;
    layout.tiles = {{0, 0, 3, 3}, {2, 2, 3, 3}, {0, 3, 2, 2}, {1, 1, 1, 1}};
    index_tiles(layout);
    EXPECT_TRUE(overlaps_before(layout, 0).empty());
    const std::vector<tile_overlap> second = overlaps_before(layout, 1);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].earlier, 0u);
    EXPECT_EQ(second[0].cells.row, 2);
    EXPECT_EQ(second[0].cells.column, 2);
    EXPECT_EQ(second[0].cells.nrows, 1);
    EXPECT_EQ(second[0].cells.ncols, 1);
    EXPECT_TRUE(overlaps_before(layout, 2).empty());  // edge to edge is no overlap
    ASSERT_EQ(overlaps_before(layout, 3).size(), 1u);
    std::vector<cell_rect> gaps;
    for_each_gap(layout, [&](const cell_rect& g) {
        gaps.push_back(g);
        return true;
    });
    ASSERT_EQ(gaps.size(), 1u);  // overlapping tiles leave only the south-west corner open
    EXPECT_EQ(gaps[0].row, 3);
    EXPECT_EQ(gaps[0].column, 0);
    EXPECT_EQ(gaps[0].nrows, 2);
    EXPECT_EQ(gaps[0].ncols, 2);
}

// The buckets find every overlap comparing every pair would: tiles of mixed sizes, far apart,
// stacked on each other, in random layouts.
TEST(MosaicPlan, BucketsFindEveryOverlapAPairwiseSearchFinds) {
    std::mt19937 random(11);
    for (int round = 0; round < 200; ++round) {
        mosaic_layout layout;
        const int spread = round % 3 == 0 ? 100000 : 60;
        const int count = 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i) {
            const auto size = [&] {
                return 1 + static_cast<std::int32_t>(random() % (round % 2 ? 30 : 5));
            };
            layout.tiles.push_back({static_cast<std::int32_t>(random() % spread),
                                    static_cast<std::int32_t>(random() % spread), size(), size()});
        }
        for (const cell_rect& t : layout.tiles) {
            layout.nrows = std::max(layout.nrows, t.row + t.nrows);
            layout.ncols = std::max(layout.ncols, t.column + t.ncols);
        }
        index_tiles(layout);
        for (std::size_t k = 0; k < layout.tiles.size(); ++k) {
            std::vector<std::size_t> pairwise;
            const cell_rect& t = layout.tiles[k];
            for (std::size_t i = 0; i < k; ++i) {
                const cell_rect& o = layout.tiles[i];
                if (t.row < o.row + o.nrows && o.row < t.row + t.nrows &&
                    t.column < o.column + o.ncols && o.column < t.column + t.ncols) {
                    pairwise.push_back(i);
                }
            }
            std::vector<std::size_t> found;
            for (const tile_overlap& o : overlaps_before(layout, k))
                found.push_back(o.earlier);
            ASSERT_EQ(found, pairwise) << "round " << round << ", tile " << k;
        }
    }
}

}  // namespace
