// Many tiles, one grid, through the built program: the cells of the one grid they were cut from,
// whatever the list's order and the thread count; gaps, no-data values and overlaps; refusals
// before anything is written, and never a half mosaic.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "failure.h"
#include "test_support.h"

namespace {

// A grid's text: its header (corner x, y; cell size 2; no-data -9999 unless given "") and rows.
std::string grid(std::int32_t nrows, std::int32_t ncols, std::int64_t x, std::int64_t y,
                 const std::vector<std::string>& rows, const std::string& nodata = "-9999") {
    std::string text = "ncols " + std::to_string(ncols) + "\nnrows " + std::to_string(nrows) +
                       "\nxllcorner " + std::to_string(x) + "\nyllcorner " + std::to_string(y) +
                       "\ncellsize 2\n";
    if (!nodata.empty()) text += "NODATA_value " + nodata + "\n";
    for (const std::string& row : rows)
        text += row + "\n";
    return text;
}

// The value of cell (r, c) of the whole grid the tiles are cut from: decimals, and -9999 now
// and then.
std::string cell(int r, int c) {
    if ((r * 7 + c * 3) % 11 == 0) return "-9999";
    return std::to_string(100 + r * 13 + c) + "." + std::to_string((r * 31 + c * 17) % 1000);
}

std::vector<std::string> rows_of(int row0, int col0, int nrows, int ncols) {
    std::vector<std::string> rows;
    for (int r = row0; r < row0 + nrows; ++r) {
        std::string line;
        for (int c = col0; c < col0 + ncols; ++c) {
            if (c != col0) line += ' ';
            line += cell(r, c);
        }
        rows.push_back(line);
    }
    return rows;
}

// A grid of th x tw tiles of rows x cols cells cut from one whole grid (lower left corner 1000,
// 2000) into dir/tiles, named t<row><col>.asc, and the whole grid as dir/whole.asc.
void cut_tiles(const scratch_dir& dir, int th, int tw, int rows, int cols) {
    fs::create_directories(dir.path / "tiles");
    for (int i = 0; i < th; ++i) {
        for (int j = 0; j < tw; ++j) {
            const long x = 1000 + 2L * cols * j;
            const long y = 2000 + 2L * rows * (th - 1 - i);
            write_file(dir / ("tiles/t" + std::to_string(i) + std::to_string(j) + ".asc"),
                       grid(rows, cols, x, y, rows_of(i * rows, j * cols, rows, cols)));
        }
    }
    write_file(dir / "whole.asc",
               grid(th * rows, tw * cols, 1000, 2000, rows_of(0, 0, th * rows, tw * cols)));
}

// A message as a Windows program prints it, with its folder separators as here.
std::string slashes(std::string text) {
    if (std::getenv("RASTMILL_TARGET_WINDOWS") != nullptr)
        std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

std::vector<std::string> leftovers(const scratch_dir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path))
        if (entry.path().string().find(".part") != std::string::npos)
            names.push_back(entry.path().filename().string());
    return names;
}

TEST(Mosaic, TilesGiveTheCellsOfTheGridTheyWereCutFrom) {
    scratch_dir dir;
    cut_tiles(dir, 3, 4, 5, 7);
    ASSERT_EQ(run_rastmill_in(dir, {"--hdr", "float", "whole.asc", "whole.bin"}).status, 0);
    const std::string whole = read_file(dir / "whole.bin");
    for (const char* threads : {"1", "2", "5"}) {
        const run_result run =
            run_shell(dir, std::string("RASTMILL_THREADS=") + threads +
                               " \"$RASTMILL\" --mosaic --hdr float tiles m.bin");
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(read_file(dir / "m.bin"), whole) << threads << " threads";
        EXPECT_EQ(read_file(dir / "m.hdr"), read_file(dir / "whole.hdr"));
    }
    // Any order of the list gives the same bytes, on one thread and on many.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path / "tiles"))
        names.push_back("tiles/" + entry.path().filename().string());
    std::mt19937 shuffle(7);
    for (int round = 0; round < 4; ++round) {
        std::shuffle(names.begin(), names.end(), shuffle);
        std::string list = "# shuffled\n";
        for (const std::string& n : names)
            list += n + "\n";
        write_file(dir / "list.txt", list);
        const std::string threads = round % 2 == 0 ? "1" : "2";
        const run_result run =
            run_shell(dir, "RASTMILL_THREADS=" + threads +
                               " \"$RASTMILL\" --mosaic float list.txt l.bin && "
                               "cat list.txt | \"$RASTMILL\" --mosaic float - s.bin");
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(read_file(dir / "l.bin"), whole) << "round " << round;
        EXPECT_EQ(read_file(dir / "s.bin"), whole) << "round " << round;
    }
    EXPECT_TRUE(leftovers(dir).empty());
}

// Tiles as they are handed out: a zip of a row of tiles with their .prj files, gzipped tiles,
// zips in a list, a zip as TILES; the cells of the plain tiles, and a damaged member named.
TEST(Mosaic, ZippedAndGzippedTiles) {
    if (!program_reads("zip (minizip)")) GTEST_SKIP() << "a build that reads no zip archives";
    scratch_dir dir;
    cut_tiles(dir, 3, 4, 5, 7);
    ASSERT_EQ(run_rastmill_in(dir, {"float", "whole.asc", "whole.bin"}).status, 0);
    const std::string whole = read_file(dir / "whole.bin");
    const run_result made = run_shell(
        dir,
        "mkdir z && cd tiles && for t in t0*.asc; do echo 'PROJCS[\"x\"]' > ${t%.asc}.prj; done && "
        "python3 -c \"import zipfile,glob; z=zipfile.ZipFile('../z/row0.zip','w',"
        "zipfile.ZIP_DEFLATED); [z.write(f) for f in sorted(glob.glob('t0*'))]\" && "
        "for t in t1*.asc; do gzip -c $t > ../z/$t.gz; done && cp t2*.asc ../z/ && cd .. && "
        "python3 -c \"import zipfile; z=zipfile.ZipFile('all.zip','w'); "
        "[z.write('tiles/t%d%d.asc' % (i, j)) for i in range(3) for j in range(4)]\" && "
        "printf 'z/row0.zip\\nz/t10.asc.gz\\nz/t11.asc.gz\\nz/t12.asc.gz\\nz/t13.asc.gz\\n"
        "tiles/t20.asc\\ntiles/t21.asc\\ntiles/t22.asc\\ntiles/t23.asc\\n' > list.txt");
    ASSERT_EQ(made.status, 0) << made.err;
    for (const char* tiles : {"z", "list.txt", "all.zip"}) {
        for (const char* threads : {"1", "2", "4"}) {
            const run_result run =
                run_shell(dir, std::string("RASTMILL_THREADS=") + threads +
                                   " \"$RASTMILL\" --mosaic --hdr float " + tiles + " m.bin");
            ASSERT_EQ(run.status, 0) << tiles << ": " << run.err;
            EXPECT_TRUE(read_file(dir / "m.bin") == whole) << tiles << " " << threads;
        }
    }
    ASSERT_EQ(run_shell(dir, "\"$RASTMILL\" --mosaic --hdr float z m.bin").status, 0);
    EXPECT_EQ(read_file(dir / "m.prj"), "PROJCS[\"x\"]\n");
    const run_result twice = run_shell(
        dir, "printf 'z/row0.zip\\nz/row0.zip/t02.asc\\n' | \"$RASTMILL\" --mosaic float - t.bin");
    EXPECT_EQ(twice.err,
              "Tile listed twice: z/row0.zip/t02.asc\nhint: the same file as "
              "z/row0.zip/t02.asc\n");
    const run_result damaged = run_shell(
        dir,
        "head -c 100 z/t11.asc.gz > z/t11.asc.gz.cut && mv z/t11.asc.gz.cut z/t11.asc.gz && "
        "\"$RASTMILL\" --mosaic float z d.bin");
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.err.rfind("Compressed source is damaged: z/t11.asc.gz\n", 0), 0u)
        << damaged.err;
    EXPECT_FALSE(fs::exists(dir.path / "d.bin"));
}

TEST(Mosaic, GapsTakeTheNoDataValueAndEveryTilesNoDataBecomesIt) {
    scratch_dir dir;
    fs::create_directories(dir.path / "t");
    // Two tiles side by side, a third south-east, none south-west: a gap of 2 x 2 cells.
    write_file(dir / "t/a.asc", grid(2, 2, 0, 4, {"1 -9999", "3 4"}));
    write_file(dir / "t/b.asc", grid(2, 2, 4, 4, {"5 -32768", "7 8"}, "-32768"));
    write_file(dir / "t/c.asc", grid(2, 2, 4, 0, {"9 10", "11 12"}, "-32768"));
    run_result run = run_rastmill_in(dir, {"--mosaic", "--hdr", "shortint", "t", "m.bin"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "m.bin"),
              le_bytes<std::int16_t>(
                  {1, -9999, 5, -9999, 3, 4, 7, 8, -9999, -9999, 9, 10, -9999, -9999, 11, 12}));
    EXPECT_NE(read_file(dir / "m.hdr").find("NODATA         -9999\n"), std::string::npos);
    // The no-data value is the first tile's by name, whatever the list's order.
    write_file(dir / "backwards.txt", "t/c.asc\nt/b.asc\nt/a.asc\n");
    run = run_rastmill_in(dir, {"--mosaic", "shortint", "backwards.txt", "b.bin"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "b.bin"), read_file(dir / "m.bin"));

    run = run_rastmill_in(dir, {"--mosaic", "--nodata", "0", "shortint", "t", "n.bin"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "n.bin"),
              le_bytes<std::int16_t>({1, 0, 5, 0, 3, 4, 7, 8, 0, 0, 9, 10, 0, 0, 11, 12}));

    // --strict: a real cell of b equal to the mosaic's no-data value would be lost in it.
    write_file(dir / "t/b.asc", grid(2, 2, 4, 4, {"5 -32768", "-9999 8"}, "-32768"));
    run = run_rastmill_in(dir, {"--mosaic", "--strict", "shortint", "t", "s.bin"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.substr(0, run.err.find('\n')),
              std::string(MSG_VALUE_CHANGES) + " Row: 1\tColumn: 2");
    EXPECT_FALSE(fs::exists(dir.path / "s.bin"));

    // No value for the gap anywhere: refused before anything is written.
    fs::create_directories(dir.path / "bare");
    write_file(dir / "bare/a.asc", grid(1, 1, 0, 2, {"1"}, ""));
    write_file(dir / "bare/c.asc", grid(1, 1, 2, 0, {"2"}, ""));
    run = run_rastmill_in(dir, {"--mosaic", "float", "bare", "g.bin"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, std::string(MSG_MOSAIC_GAP) +
                           " Row: 0\tColumn: 1\nhint: give --nodata N, the value those cells "
                           "take\n");
    EXPECT_FALSE(fs::exists(dir.path / "g.bin"));
    EXPECT_TRUE(leftovers(dir).empty());
}

TEST(Mosaic, OverlapsAgreeOrOneTileIsTaken) {
    scratch_dir dir;
    // b overlaps a's east column; in "agree/" they agree there, in "differ/" by one cell.
    for (const char* folder : {"agree", "differ"}) {
        fs::create_directories(dir.path / folder);
        write_file(dir / (std::string(folder) + "/a.asc"), grid(2, 2, 0, 0, {"1 2", "3 4"}));
        write_file(dir / (std::string(folder) + "/b.asc"),
                   grid(2, 2, 2, 0, {std::string(folder) == "agree" ? "2 5" : "9 5", "4 6"}));
    }
    run_result run = run_rastmill_in(dir, {"--mosaic", "char", "agree", "a.bin"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "a.bin"), le_bytes<std::int8_t>({1, 2, 5, 3, 4, 6}));

    run = run_rastmill_in(dir, {"--mosaic", "char", "differ", "d.bin"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(slashes(run.err),
              std::string(MSG_TILES_DISAGREE) +
                  " Row: 0\tColumn: 1\nhint: differ/a.asc holds 2 there and differ/b.asc "
                  "9 (row 0 column 0 of tile differ/b.asc); --overlap first or --overlap "
                  "last takes one of them\n");
    EXPECT_FALSE(fs::exists(dir.path / "d.bin"));
    for (const auto& [rule, middle] : {std::pair{"first", 2}, std::pair{"last", 9}}) {
        for (const char* threads : {"1", "2"}) {
            run = run_shell(dir, std::string("RASTMILL_THREADS=") + threads +
                                     " \"$RASTMILL\" --mosaic --overlap " + rule +
                                     " char differ o.bin");
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(read_file(dir / "o.bin"),
                      le_bytes<std::int8_t>({1, static_cast<std::int8_t>(middle), 5, 3, 4, 6}))
                << rule;
        }
    }
}

TEST(Mosaic, AFailingTileLeavesNoHalfMosaic) {
    scratch_dir dir;
    cut_tiles(dir, 2, 2, 3, 4);
    std::string bad = read_file(dir / "tiles/t11.asc");
    bad.replace(bad.rfind('\n', bad.size() - 2) + 1, 0, "1.5x ");  // the last row's first cell
    write_file(dir / "tiles/t11.asc", bad);
    write_file(dir / "m.bin", "an older mosaic");
    for (const char* threads : {"1", "2"}) {
        const run_result run = run_shell(dir, std::string("RASTMILL_THREADS=") + threads +
                                                  " \"$RASTMILL\" --mosaic float tiles m.bin");
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(slashes(run.err),
                  std::string(MSG_READ_ERROR) +
                      " Row: 5\tColumn: 4\nhint: row 2 column 0 of tile tiles/t11.asc: "
                      "\"1.5x\" on line 9 of tiles/t11.asc\n")
            << threads;
        EXPECT_EQ(read_file(dir / "m.bin"), "an older mosaic");
        EXPECT_TRUE(leftovers(dir).empty());
    }
}

TEST(Mosaic, RefusedBeforeAnythingIsWritten) {
    scratch_dir dir;
    cut_tiles(dir, 1, 2, 2, 2);
    write_file(dir / "tiles/t00.prj", "GEOGCS[\"WGS 84\"]\n");
    write_file(dir / "tiles/t01.prj", "PROJCS[\"UTM 33N\"]\n");
    write_file(dir / "off.asc",
               "ncols 2\nnrows 2\nxllcorner 1005\nyllcorner 2000\ncellsize 2\n1 2\n3 4\n");
    write_file(dir / "twice.txt", "tiles/t00.asc\n./tiles/t00.asc\n");
    write_file(dir / "off.txt", "tiles/t00.asc\noff.asc\n");
    write_file(dir / "keep.bin", "kept");
    struct {
        std::vector<std::string> args;
        std::string first_line;
    } const cases[] = {
        {{"--mosaic", "float", "tiles", "-"}, std::string(MSG_MOSAIC_TARGET) + " -"},
        {{"--mosaic", "float", "tiles", "tiles"}, std::string(MSG_MOSAIC_TARGET) + " tiles"},
        {{"--mosaic", "ascii", "tiles", "keep.bin"}, std::string(MSG_MOSAIC_FORMAT) + " ascii"},
        {{"--mosaic", "--snap", "0.5", "float", "tiles", "keep.bin"},
         std::string(MSG_BAD_SNAP) + " 0.5"},
        {{"--mosaic", "--overlap", "both", "float", "tiles", "keep.bin"},
         std::string(MSG_BAD_OVERLAP) + " both"},
        {{"--snap", "1e-6", "float", "whole.asc", "keep.bin"},
         std::string(MSG_ONLY_WITH_MOSAIC) + " --snap"},
        {{"--mosaic", "--like", "whole.asc", "float", "tiles", "keep.bin"},
         std::string(MSG_NOT_WITH_MOSAIC) + " --like"},
        {{"--mosaic", "float", "tiles", "keep.bin"},
         std::string(MSG_PRJ_DIFFERS) + " tiles/t00.asc and tiles/t01.asc"},
        {{"--mosaic", "float", "twice.txt", "keep.bin"},
         std::string(MSG_TILE_TWICE) + " ./tiles/t00.asc"},
        {{"--mosaic", "float", "off.txt", "keep.bin"},
         std::string(MSG_TILE_NOT_PLACED) +
             " off.asc: xllcorner 0.5 cells east of the grid of the first tile"},
        {{"--mosaic", "float", "whole.asc", "keep.bin"},
         std::string(MSG_NOT_A_TILE_LIST) + " whole.asc"},
        {{"--mosaic", "float", "off.txt", "off.txt"}, std::string(MSG_OVERWRITE) + " off.txt"},
        {{"--mosaic", "float", "off.txt", "tiles/t00.asc"},
         std::string(MSG_GRID_TARGET) + " tiles/t00.asc"},
        {{"--mosaic", "--hdr", "float", "off.txt", "tiles/t00.prj"},
         std::string(MSG_OVERWRITE) + " tiles/t00.prj"},
    };
    for (const auto& c : cases) {
        const run_result run = run_rastmill_in(dir, c.args);
        EXPECT_EQ(run.status, 1) << c.first_line;
        EXPECT_EQ(slashes(run.err.substr(0, run.err.find('\n'))), c.first_line);
        EXPECT_EQ(read_file(dir / "keep.bin"), "kept");
        EXPECT_TRUE(leftovers(dir).empty()) << c.first_line;
    }
    EXPECT_EQ(read_file(dir / "off.txt"), "tiles/t00.asc\noff.asc\n");
    // A tile that cannot be read twice is refused, not half read.
    if (std::getenv("RASTMILL_TARGET_WINDOWS") != nullptr) return;  // no FIFO there
    const run_result fifo = run_shell(
        dir, "mkfifo tiles/p.asc && echo tiles/p.asc | \"$RASTMILL\" --mosaic float - f.bin");
    EXPECT_EQ(fifo.err.substr(0, fifo.err.find('\n')),
              std::string(MSG_TILE_NOT_FILE) + " tiles/p.asc");
}

TEST(Mosaic, HostileFilesNamesAndHeaders) {
    if (std::getenv("RASTMILL_TARGET_WINDOWS") != nullptr) {
        GTEST_SKIP() << "links, line ends in names and ulimit are POSIX shell's";
    }
    scratch_dir dir;
    cut_tiles(dir, 1, 2, 2, 2);  // tiles/t00.asc at x 1000, t01.asc at 1004; y 2000, cell 2
    write_file(dir / "list.txt", "tiles/t00.asc\ntiles/t01.asc\n");
    const std::string z_at_north_east =
        "ncols 2\nnrows 2\nxllcorner 1004\nyllcorner 2004\n"
        "cellsize 2\n";
    for (const char* folder : {"junk", "count", "comma", "lines", "far", "deci", "fifo", "inf"})
        fs::create_directories(dir.path / folder);
    for (const char* folder : {"junk", "count", "comma", "lines", "fifo"})
        fs::copy_file(dir.path / "tiles/t00.asc", dir.path / folder / "a.asc");
    write_file(dir / "junk/z.asc", "hello world\n");
    write_file(dir / "count/z.asc", "ncols 2\nnrows x\n");
    write_file(dir / "comma/z.asc", z_at_north_east + ",1 2\n3 4\n");
    // A name with a line end, whose cells disagree with a.asc's.
    write_file(dir.path / "lines" / "n\nl.asc", grid(2, 2, 1000, 2000, {"9 9", "9 9"}));
    write_file(dir / "far/a.asc", grid(1, 1, 0, 0, {"1"}));
    write_file(dir / "far/b.asc",
               grid(1, 1, std::int64_t(4000000000), std::int64_t(4000000000), {"2"}));
    // The first tile's no-data value is infinite as float: no value to write for the other's.
    write_file(dir / "inf/a.asc", grid(1, 1, 0, 0, {"1"}, "1e39"));
    write_file(dir / "inf/b.asc", grid(1, 1, 2, 0, {"2"}, "-9999"));
    // The first tile's no-data value is no shortint; the second's gives the gap its value.
    write_file(dir / "deci/a.asc", grid(1, 1, 0, 0, {"1"}, "-9999.5"));
    write_file(dir / "deci/b.asc", grid(1, 1, 4, 0, {"2"}, "-9999"));
    struct {
        std::string command;
        int status;
        std::string err;  // whole
    } const cases[] = {
        // The list through standard input is read like any other list: never written.
        {"\"$RASTMILL\" --mosaic float - list.txt < list.txt", 1,
         std::string(MSG_OVERWRITE) +
             " list.txt\nhint: the mosaic reads it: it is a tile, a tile's .prj or the list of "
             "tiles\n"},
        {"\"$RASTMILL\" --mosaic --hdr float tiles m.hdr", 1,
         std::string(MSG_SIDECAR_IS_TARGET) + " m.hdr\n"},
        {"ln -s l.bin l.hdr && \"$RASTMILL\" --mosaic --hdr float tiles l.bin", 1,
         std::string(MSG_SIDECAR_IS_TARGET) + " l.hdr\n"},
        // A tile's header fails with its own words, naming the tile.
        {"\"$RASTMILL\" --mosaic float junk j.bin", 1,
         std::string(MSG_FATAL) + " " + MSG_NOT_A_GRID + " junk/z.asc\n"},
        {"\"$RASTMILL\" --mosaic float count c.bin", 1,
         std::string(MSG_INVALID_INTEGER) + " x\nhint: in the header of tile count/z.asc\n"},
        // A bad first value just after a header is named at the tile's place in the mosaic.
        {"\"$RASTMILL\" --mosaic float comma c.bin", 1,
         std::string(MSG_READ_ERROR) +
             " Row: 0\tColumn: 2\nhint: row 0 column 0 of tile comma/z.asc\n"},
        {"\"$RASTMILL\" --mosaic float lines n.bin", 1,
         std::string(MSG_TILES_DISAGREE) +
             " Row: 0\tColumn: 0\nhint: lines/a.asc holds -9999 there and lines/n\\x0al.asc 9 "
             "(row 0 column 0 of tile lines/n\\x0al.asc); --overlap first or --overlap last "
             "takes one of them\n"},
        // Paths in a list through /dev/stdin are the current folder's, as with -.
        {"ls tiles/*.asc | \"$RASTMILL\" --mosaic float /dev/stdin s.bin && cmp s.bin m0.bin", 0,
         ""},
        {"\"$RASTMILL\" --mosaic --nodata 0 double far f.bin", 1,
         std::string(MSG_MOSAIC_TOO_LARGE) +
             " 2000000001 rows x 2000000001 columns\nhint: its 32000000032000000008 bytes pass "
             "the largest file size\n"},
        {"ulimit -f 1 && \"$RASTMILL\" --mosaic --nodata 0 char far f.bin", 1,
         std::string(MSG_WRITE_ERROR) + " Row: 0\tColumn: 0\nhint: File too large\n"},
        {"\"$RASTMILL\" --mosaic float inf i.bin", 1,
         std::string(MSG_BAD_NODATA) +
             " inf (not a finite float)\nhint: the no-data value of inf/a.asc as float stores "
             "it cannot stand for inf/b.asc's -9999: give --nodata N, the value no-data cells "
             "take\n"},
        {"echo tiles > folder.txt && \"$RASTMILL\" --mosaic float folder.txt o.bin", 1,
         std::string(MSG_TILE_NOT_FILE) + " tiles\nhint: it is a folder: a list names one tile a "
                                          "line\n"},
        // A sidecar that cannot be written is found before the target is replaced.
        {"mkdir dir.hdr && echo old > dir.bin && \"$RASTMILL\" --mosaic --hdr float tiles "
         "dir.bin; s=$? && cat dir.bin >&2 && exit $s",
         1,
         std::string(MSG_CANNOT_OPEN) +
             " dir.hdr\nhint: a sidecar would go there; it is no regular file\nold\n"},
        // The mosaic that replaces a private target stays private, as sed -i keeps it.
        {"echo old > p6.bin && chmod 600 p6.bin && \"$RASTMILL\" --mosaic float tiles p6.bin && "
         "stat -c %a p6.bin >&2",
         0, "600\n"},
        // A .prj that is a FIFO is no projection: the run neither waits on it nor copies it.
        {"mkfifo fifo/a.prj && timeout 20 \"$RASTMILL\" --mosaic --hdr float fifo p.bin && "
         "test ! -e p.prj",
         0, ""},
        {"\"$RASTMILL\" --mosaic shortint deci d.bin && od -An -td2 d.bin | tr -s ' ' >&2", 0,
         " 1 -9999 2\n"},
    };
    ASSERT_EQ(run_rastmill_in(dir, {"--mosaic", "float", "tiles", "m0.bin"}).status, 0);
    for (const auto& c : cases) {
        const run_result run = run_shell(dir, c.command);
        EXPECT_EQ(run.status, c.status) << c.command;
        EXPECT_EQ(run.err, c.err) << c.command;
    }
    EXPECT_EQ(read_file(dir / "list.txt"), "tiles/t00.asc\ntiles/t01.asc\n");
    EXPECT_FALSE(fs::exists(dir.path / "m.hdr"));
    EXPECT_FALSE(fs::exists(dir.path / "l.bin"));
    EXPECT_TRUE(leftovers(dir).empty());
}

// The peak resident memory of the program run with args in dir, in KiB, by GNU time: a process
// forked from the tests would count their own memory too. -1 where it failed.
long peak_kib(const scratch_dir& dir, const std::string& args) {
    const run_result run = run_shell(dir, "/usr/bin/time -f %M -o peak.txt \"$RASTMILL\" " + args);
    if (run.status != 0) return -1;
    return std::atol(read_file(dir / "peak.txt").c_str());
}

TEST(Mosaic, TenThousandTilesInBoundedMemory) {
    if (sanitized || std::getenv("RASTMILL_UNDER_TEST") != nullptr) {
        GTEST_SKIP() << "resident memory means nothing under a sanitizer or an emulator";
    }
    if (!fs::exists("/usr/bin/time")) GTEST_SKIP() << "GNU time is not installed";
    scratch_dir dir;
    fs::create_directories(dir.path / "tiles");
    std::string list;
    for (int i = 0; i < 100; ++i) {
        for (int j = 0; j < 100; ++j) {
            const std::string name =
                "tiles/tile_" + std::to_string(i) + "_" + std::to_string(j) + ".asc";
            write_file(dir / name, grid(4, 4, 8L * j, 8L * (99 - i), rows_of(i * 4, j * 4, 4, 4)));
            list += name + "\n";
        }
    }
    write_file(dir / "list.txt", list);
    const long kib = peak_kib(dir, "--mosaic --hdr float list.txt m.bin");
    ASSERT_GT(kib, 0);
    EXPECT_LE(kib, 16 * 1024) << kib << " KiB";
    std::vector<std::string> rows = rows_of(0, 0, 400, 400);
    write_file(dir / "whole.asc", grid(400, 400, 0, 0, rows));
    ASSERT_EQ(run_rastmill_in(dir, {"float", "whole.asc", "whole.bin"}).status, 0);
    EXPECT_EQ(read_file(dir / "m.bin"), read_file(dir / "whole.bin"));
    // The same tiles in one zip, each with a .prj beside it: the archive's directory is read
    // once per thread, not once per tile (that took 27 s), and memory stays bounded.
    if (!program_reads("zip (minizip)")) return;
    ASSERT_EQ(run_shell(dir,
                        "cd tiles && for f in *.asc; do echo PROJCS > ${f%.asc}.prj; done && "
                        "python3 -c \"import zipfile,glob; z=zipfile.ZipFile('../t.zip','w',"
                        "zipfile.ZIP_DEFLATED); [z.write(f) for f in sorted(glob.glob('*'))]\"")
                  .status,
              0);
    const long zipped = peak_kib(dir, "--mosaic --hdr float t.zip z.bin");
    ASSERT_GT(zipped, 0);
    EXPECT_LE(zipped, 16 * 1024) << zipped << " KiB";
    EXPECT_EQ(read_file(dir / "z.bin"), read_file(dir / "whole.bin"));
    EXPECT_EQ(read_file(dir / "z.prj"), "PROJCS\n");
}

}  // namespace
