// The tiles TILES names: a folder's .asc files in name order, or a list's lines relative to the
// list's own folder; what is not a list is refused, never read as paths.
#include "tile_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "failure.h"
#include "test_support.h"

namespace {

TEST(TileList, ListLinesRelativeToTheListsFolder) {
    struct {
        const char* name;
        std::string text;
        std::vector<std::string> tiles;  // in folder "f"
        const char* message;             // nullptr: read
    } const cases[] = {
        {"lines", "a.asc\nb.asc\n", {"a.asc", "b.asc"}, nullptr},
        {"CR LF, no last line end", "a.asc\r\nb.asc", {"a.asc", "b.asc"}, nullptr},
        {"blanks, comments, spaces",
         "\n# tiles\n  a.asc  \n\n\t# b.asc\nsub/c.asc\n",
         {"a.asc", "sub/c.asc"},
         nullptr},
        {"byte-order mark",
         "\xEF\xBB\xBF"
         "a.asc\n",
         {"a.asc"},
         nullptr},
        {"a grid, not a list", "ncols 4\nnrows 3\n", {}, MSG_NOT_A_TILE_LIST},
        {"a grid in capitals", "NCOLS\t4\n", {}, MSG_NOT_A_TILE_LIST},
        {"a grid's header in another order", "nrows 3\nncols 4\n", {}, MSG_NOT_A_TILE_LIST},
        {"a grid after blank lines", "\n\r\nxllcorner 0\n", {}, MSG_NOT_A_TILE_LIST},
        {"a file named like a keyword", "ncols.asc\nnrows\n", {"ncols.asc", "nrows"}, nullptr},
        {"binary bytes", std::string("a.asc\n\0\1", 8), {}, MSG_NOT_A_TILE_LIST},
        {"a line past any path", std::string(LONGEST_TILE_LINE + 1, 'a'), {}, MSG_NOT_A_TILE_LIST},
    };
    for (const auto& c : cases) {
        std::vector<std::string> tiles;
        const failure f = tiles_of_list_text(c.text, "f", "list", tiles);
        if (c.message == nullptr) {
            EXPECT_FALSE(f.failed()) << c.name << ": " << f.message;
            std::vector<std::string> expected;
            for (const std::string& t : c.tiles)
                expected.push_back((fs::path("f") / t).string());
            EXPECT_EQ(tiles, expected) << c.name;
        } else {
            EXPECT_EQ(f.message, c.message) << c.name;
            EXPECT_EQ(f.detail, "list") << c.name;
        }
    }
    std::vector<std::string> tiles;
    ASSERT_FALSE(tiles_of_list_text("/abs/a.asc\nb.asc\n", "", "-", tiles).failed());
    EXPECT_EQ(tiles, (std::vector<std::string>{"/abs/a.asc", "b.asc"}));
}

TEST(TileList, FolderGridsInNameOrderListsAndNothing) {
    scratch_dir dir;
    fs::create_directories(dir.path / "tiles" / "sub.asc");
    for (const char* name : {"b.asc", "A.ASC", "c.asc.bak", "notes.txt", "d.Asc"})
        write_file(dir / ("tiles/" + std::string(name)), "x");
    write_file(dir / "tiles/sub.asc/e.asc", "x");
    std::vector<std::string> tiles;
    ASSERT_FALSE(read_tile_list(dir / "tiles", tiles).failed());
    std::vector<std::string> names;
    for (const std::string& t : tiles)
        names.push_back(fs::path(t).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"A.ASC", "b.asc", "d.Asc"}));

    write_file(dir / "list.txt", "tiles/b.asc\n");
    ASSERT_FALSE(read_tile_list(dir / "list.txt", tiles).failed());
    EXPECT_EQ(tiles, (std::vector<std::string>{(dir.path / "tiles/b.asc").string()}));

    write_file(dir / "empty.txt", "# nothing yet\n\n");
    EXPECT_EQ(read_tile_list(dir / "empty.txt", tiles).message, MSG_NO_TILES);
    fs::create_directories(dir.path / "none");
    EXPECT_EQ(read_tile_list(dir / "none", tiles).message, MSG_NO_TILES);
    EXPECT_EQ(read_tile_list(dir / "missing.txt", tiles).message, MSG_CANNOT_OPEN);
}

}  // namespace
