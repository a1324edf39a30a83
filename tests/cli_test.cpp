// End-to-end: the built program on grids in a scratch folder, checking stderr, exit status and
// the target's bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "formats.h"
#include "test_support.h"

namespace {

const std::string usage =
    "Usage: rastmill target_format source_file target_file\n\n"
    "This utility takes an ESRI Arc ascii grid raster and converts\n"
    "it to a binary file that is suitable as an input to the KOVAL model\n"
    "rastmill is a replacement for the Pelmar utility\n\n"
    "Options for target_format:\n"
    "\tchar, uchar, ushortint, shortint, \n"
    "\tuinteger, integer, ulonginteger, longinteger, \n"
    "\tfloat, double, ascii\n\n"
    "Common layers types and suggested target format:\n"
    "\tmask = char\n\tdem = float\n\tsoil texture = char\n\tsoil depth = float\n"
    "\tgroundwater = char\n\tveg = char\n";

const std::string old_target = "previous contents";
const std::string small_grid = grid_text(2, 2, "1.5 -2\n3 4\n");

struct golden_case {
    const char* name;
    std::vector<std::string> args;  // the source is in.asc, the target out.bin
    std::optional<std::string> source;
    std::string err;
    int status;
    std::optional<std::string> target;  // nullopt: out.bin must not exist
};

TEST(CommandLine, GoldenCases) {
    const golden_case cases[] = {
        {"no arguments", {}, small_grid, usage, 1, std::nullopt},
        {"two arguments", {"float", "in.asc"}, small_grid, usage, 1, std::nullopt},
        {"float",
         {"float", "in.asc", "out.bin"},
         small_grid,
         "",
         0,
         le_bytes<float>({1.5f, -2, 3, 4})},
        {"refused format",
         {"unsigned", "in.asc", "out.bin"},
         small_grid,
         "Unrecognized format specifier: unsigned\nhint: " + format_names_hint() + "\n",
         1,
         std::nullopt},
        {"missing source",
         {"float", "nope.asc", "out.bin"},
         std::nullopt,
         "Cannot open file: nope.asc\nhint: No such file or directory\n",
         1,
         std::nullopt},
        {"source is a folder",
         {"float", ".", "out.bin"},
         std::nullopt,
         "Cannot open file: .\nhint: it is a folder\n",
         1,
         std::nullopt},
        {"not a grid",
         {"float", "in.asc", "out.bin"},
         "nrows 5\nnodata_value 4\n",
         "Fatal error Unrecognized input file format:\nhint: in.asc begins as an Arc ascii grid, "
         "but its header lacks ncols or nrows\n",
         1,
         std::nullopt},
        {"empty source",
         {"float", "in.asc", "out.bin"},
         "",
         "Fatal error Unrecognized input file format:\nhint: in.asc is empty\n",
         1,
         std::nullopt},
        {"invalid count",
         {"float", "in.asc", "out.bin"},
         "ncols 08\nnrows 1\n1\n",
         "Invalid integer: 08\n",
         1,
         std::nullopt},
        {"text target with rows",
         {"ascii", "in.asc", "out.bin"},
         small_grid,
         "The source is an Arc ascii grid already; ascii writes raw cells back as one: in.asc\n",
         1,
         std::nullopt},
        {"text target without rows",
         {"ascii", "in.asc", "out.bin"},
         grid_text(2, 0, ""),
         "",
         0,
         ""},
        {"bad cell",
         {"shortint", "in.asc", "out.bin"},
         grid_text(2, 3, "1 2\n3 abc\n5 6\n"),
         "Error reading input: Row: 1\tColumn: 1\nhint: \"abc\" on line 8 of in.asc\n",
         1,
         le_bytes<std::int16_t>({1, 2})},
        {"fraction in integer cell",
         {"integer", "in.asc", "out.bin"},
         grid_text(2, 1, "107.0 1.7"),
         "Error reading input: Row: 0\tColumn: 1\nhint: \"1.7\" on line 7 of in.asc; integer takes "
         "whole numbers only: add --round, or convert to float or double\n",
         1,
         ""},
        {"input ends early",
         {"float", "in.asc", "out.bin"},
         grid_text(2, 2, "1 2 3"),
         "Error reading input: Row: 1\tColumn: 1\nhint: the grid ends after 3 values on line 7 of "
         "in.asc; its header gives 4\n",
         1,
         le_bytes<float>({1, 2})},
        {"control bytes in a long bad cell",
         {"float", "in.asc", "out.bin"},
         grid_text(1, 2, "1\n\n2\x01" + std::string(50, 'y') + "\n"),
         "Error reading input: Row: 1\tColumn: 0\nhint: \"2\\x01" + std::string(38, 'y') +
             "...\" on line 9 of in.asc\n",
         1,
         le_bytes<float>({1})},
        {"gzip source cut short",
         {"float", "in.asc", "out.bin"},
         std::string("\x1f\x8b\x08\x00", 4),
         // A build without an inflater refuses it as such.
         program_reads("gzip (")
             ? "Compressed source is damaged: in.asc\nhint: the file ends inside a gzip member "
               "(member 1, near byte 4 of the compressed data); the compressed file is damaged\n"
             : "This build of rastmill cannot read: in.asc\nhint: it is gzip; it was built "
               "without ISA-L and zlib\n",
         1,
         std::nullopt},
        {"nodata wraps",
         {"char", "in.asc", "out.bin"},
         grid_text(3, 1, "300 -9999 -1"),
         "",
         0,
         le_bytes<std::int8_t>({44, -15, -1})},
        {"nodata wraps unsigned",
         {"uchar", "in.asc", "out.bin"},
         grid_text(2, 1, "-9999 -1"),
         "",
         0,
         le_bytes<std::uint8_t>({241, 255})},
        {"wide integers wrap",
         {"uinteger", "in.asc", "out.bin"},
         grid_text(2, 1, "4294967297 -1"),
         "",
         0,
         le_bytes<std::uint32_t>({1, 4294967295u})},
        {"CRLF and end-of-file mark",
         {"ushortint", "in.asc", "out.bin"},
         "ncols 2\r\nnrows 2\r\ncellsize 1\r\n70000 -1\r\n1 2\r\n\x1A"
         "garbage",
         "",
         0,
         le_bytes<std::uint16_t>({4464, 65535, 1, 2})},
        {"NaN and infinity",
         {"float", "in.asc", "out.bin"},
         grid_text(3, 1, "NaN -inf 1e40"),
         "",
         0,
         le_bytes<float>({std::numeric_limits<float>::quiet_NaN(),
                          -std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::infinity()})},
        {"no columns", {"float", "in.asc", "out.bin"}, grid_text(0, 3, ""), "", 0, ""},
    };
    for (const golden_case& c : cases) {
        scratch_dir dir;
        fs::file_time_type written{};
        if (c.source) {
            write_file(dir / "in.asc", *c.source);
            written = fs::last_write_time(dir / "in.asc");
        }
        const run_result run = run_rastmill_in(dir, c.args);
        EXPECT_EQ(run.err, c.err) << c.name;
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_EQ(fs::exists(dir / "out.bin"), c.target.has_value()) << c.name;
        if (c.target) {
            EXPECT_EQ(read_file(dir / "out.bin"), *c.target) << c.name;
        }
        if (c.source) {
            EXPECT_EQ(read_file(dir / "in.asc"), *c.source) << c.name;
            EXPECT_EQ(fs::last_write_time(dir / "in.asc"), written) << c.name;
        }
    }
}

// A run that fails before the body leaves an existing target as it was; one that succeeds
// replaces it whole.
TEST(CommandLine, ExistingTargetIsKeptUntilTheHeaderIsGood) {
    scratch_dir dir;
    write_file(dir / "out.bin", old_target);
    write_file(dir / "bad.asc", "NROWS 1\n");
    write_file(dir / "good.asc", small_grid);
    EXPECT_EQ(run_rastmill_in(dir, {"float", "bad.asc", "out.bin"}).status, 1);
    EXPECT_EQ(run_rastmill_in(dir, {"float", "missing.asc", "out.bin"}).status, 1);
    EXPECT_EQ(run_rastmill_in(dir, {"ascii", "good.asc", "out.bin"}).status, 1);
    EXPECT_EQ(read_file(dir / "out.bin"), old_target);
    EXPECT_EQ(run_rastmill_in(dir, {"double", "good.asc", "out.bin"}).status, 0);
    EXPECT_EQ(run_rastmill_in(dir, {"float", "good.asc", "out.bin"}).status, 0);
    EXPECT_EQ(read_file(dir / "out.bin"), le_bytes<float>({1.5f, -2, 3, 4}));
}

TEST(CommandLine, TargetThatIsTheSourceIsRefused) {
    scratch_dir dir;
    write_file(dir / "in.asc", small_grid);
    fs::create_hard_link(dir / "in.asc", dir / "hard.asc");
    fs::create_symlink(dir / "in.asc", dir / "soft.asc");
    for (const char* target : {"in.asc", "./in.asc", "hard.asc", "soft.asc"}) {
        const run_result run = run_rastmill_in(dir, {"float", "in.asc", target});
        EXPECT_EQ(run.status, 1) << target;
        EXPECT_EQ(run.err, std::string("File already exists, and should not be overwritten: ") +
                               target + "\nhint: the target is the source\n");
        EXPECT_EQ(read_file(dir / "in.asc"), small_grid) << target;
    }
}

TEST(CommandLine, SourceFromAPipe) {
    scratch_dir dir;
    write_file(dir / "in.asc", small_grid);
    const run_result run =
        run_shell(dir,
                  "cat in.asc | \"$RASTMILL\" float /dev/stdin out.bin && "
                  "mkfifo fifo && (cat in.asc > fifo &) && \"$RASTMILL\" double fifo out2.bin");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "out.bin"), le_bytes<float>({1.5f, -2, 3, 4}));
    EXPECT_EQ(read_file(dir / "out2.bin"), le_bytes<double>({1.5, -2, 3, 4}));
}

TEST(CommandLine, FullDevice) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    scratch_dir dir;
    write_file(dir / "in.asc", small_grid);
    write_file(dir / "bad.asc", grid_text(2, 2, "1 2\n3 x\n"));
    // A bad value after rows that could not be written: the lost rows come first.
    for (const char* source : {"in.asc", "bad.asc"}) {
        const run_result run = run_rastmill_in(dir, {"float", source, "/dev/full"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "Error writing output: Row: 0\tColumn: 0\n") << source;
    }
}

// A disk that fills midway: the message names the first value that did not reach the file.
TEST(CommandLine, FullFilesystemNamesTheFirstLostValue) {
    scratch_dir dir;
    fs::create_directories(dir.path / "small");
    if (run_shell(dir, "mount -t tmpfs -o size=64k tmpfs small").status != 0) {
        GTEST_SKIP() << "cannot mount a small filesystem here";
    }
    std::string body;
    for (int i = 0; i < 100000; ++i)
        body += std::to_string(i % 1000) + ".5 ";
    write_file(dir / "in.asc", grid_text(100, 1000, body));
    const run_result run = run_rastmill_in(dir, {"float", "in.asc", "small/out.bin"});
    const auto kept = fs::file_size(dir / "small/out.bin");
    run_shell(dir, "umount small");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(kept, 65536u);  // 16384 values: row 163, column 84 is the first one lost
    EXPECT_EQ(run.err, "Error writing output: Row: 163\tColumn: 84\n");
}

TEST(CommandLine, ClosedPipeIsAWriteFailure) {
    scratch_dir dir;
    std::string body;
    for (int i = 0; i < 300000; ++i)
        body += "1.5 ";
    write_file(dir / "in.asc", grid_text(1000, 300, body));
    const run_result run = run_shell(
        dir, "(\"$RASTMILL\" float in.asc /dev/stdout; echo $? > status) | head -c 10 > /dev/null");
    EXPECT_EQ(run.err.rfind("Error writing output: Row: ", 0), 0u) << run.err;
    EXPECT_EQ(read_file(dir / "status"), "1\n");
}

// Headers and bodies built to exhaust the program: each run ends with its documented result, in
// bounded time and (checked with a 64 MiB address-space limit where no sanitizer needs more)
// bounded memory.
TEST(CommandLine, HostileInputsEndInBoundedMemory) {
    const std::string hundred_mb(100'000'000, '0');
    struct {
        const char* name;
        std::string source;
        std::string format;
        std::vector<std::string> errors;  // any of these; empty for success
        std::string target;
    } const cases[] = {
        {"header line of 100 MB",
         "ncols 2 " + hundred_mb + "\nnrows 1\n" + "1 2",
         "shortint",
         {},
         le_bytes<std::int16_t>({1, 2})},
        {"token of 100 MB digits",
         grid_text(2, 1, "1" + hundred_mb + "e-100000000 2"),
         "double",
         {},
         le_bytes<double>({1, 2})},
        {"integer token of 100 MB",
         grid_text(1, 1, "-" + hundred_mb + "42.000"),
         "char",
         {},
         le_bytes<std::int8_t>({-42})},
        {"no columns, most rows", "ncols 0\nnrows 2147483647\n", "float", {}, ""},
        {"most columns",
         "ncols 2147483647\nnrows 2147483647\n1 2 3",
         "char",
         {"Failure to allocate memory \n",
          "Error reading input: Row: 0\tColumn: 3\nhint: the grid ends after 3 values on line 3 of "
          "in.asc; its header gives 4611686014132420609\n"},
         ""},
        {"NUL in a count",
         std::string("ncols 4\0\nnrows 1\n", 18),
         "float",
         {"Invalid integer: 4\\x00\n"},
         ""},
        {"binary garbage",
         std::string("\x7f"
                     "ELF\x02\x01\x01\0\0\0\n\xff\xfe",
                     14),
         "float",
         {"Fatal error Unrecognized input file format:\nhint: in.asc is no Arc ascii grid: for raw "
          "cells give --like GRID and --from FORMAT, or put in.hdr beside it\n"},
         ""},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.asc", c.source);
        // Sanitizers and emulators (a program under test given from outside) need more room.
        const bool limited = !sanitized && std::getenv("RASTMILL_UNDER_TEST") == nullptr;
        const std::string limit = limited ? "ulimit -v 65536 && " : "";
        const run_result run =
            run_shell(dir, limit + "\"$RASTMILL\" " + c.format + " in.asc out.bin");
        if (c.errors.empty()) {
            EXPECT_EQ(run.status, 0) << c.name << ": " << run.err;
            EXPECT_EQ(read_file(dir / "out.bin"), c.target) << c.name;
        } else {
            EXPECT_EQ(run.status, 1) << c.name;
            EXPECT_NE(std::find(c.errors.begin(), c.errors.end(), run.err), c.errors.end())
                << c.name << ": " << run.err;
        }
    }
}

// Drive letters and backslashes, for a Windows program (run under Wine, where drive Z: is /).
TEST(CommandLine, WindowsPaths) {
    if (std::getenv("RASTMILL_TARGET_WINDOWS") == nullptr) GTEST_SKIP() << "not a Windows program";
    scratch_dir dir;
    fs::create_directories(dir.path / "sub");
    write_file(dir / "in.asc", small_grid);
    std::string windows_path = "Z:" + (dir.path / "in.asc").string();
    std::replace(windows_path.begin(), windows_path.end(), '/', '\\');
    const run_result run = run_rastmill_in(dir, {"float", windows_path, ".\\sub\\out.bin"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "sub/out.bin"), le_bytes<float>({1.5f, -2, 3, 4}));

    // Names outside the ANSI code page, for the source, the target and both sidecars.
    const std::string name = "H\xC3\xB6he_\xE6\x97\xA5\xE6\x9C\xAC";
    write_file(dir / (name + ".asc"), small_grid);
    write_file(dir / (name + ".prj"), "PROJCS[\"x\"]\n");
    fs::create_directories(dir.path / "out");
    const run_result wide =
        run_rastmill_in(dir, {"--hdr", "float", name + ".asc", "out\\" + name + ".bin"});
    EXPECT_EQ(wide.status, 0) << wide.err;
    EXPECT_EQ(read_file(dir / ("out/" + name + ".bin")), le_bytes<float>({1.5f, -2, 3, 4}));
    EXPECT_TRUE(fs::exists(dir / ("out/" + name + ".hdr")));
    EXPECT_EQ(read_file(dir / ("out/" + name + ".prj")), "PROJCS[\"x\"]\n");
}

// A target past 4 GiB, and so past 2^31 values written in all: byte counts and file offsets are
// 64-bit on every host. Slow and big, so only on request (RASTMILL_LARGE_TESTS=1).
TEST(CommandLine, TargetBeyondFourGigabytes) {
    if (std::getenv("RASTMILL_LARGE_TESTS") == nullptr)
        GTEST_SKIP() << "RASTMILL_LARGE_TESTS unset";
    scratch_dir dir;
    if (fs::space(dir.path).available < 6'000'000'000ull) GTEST_SKIP() << "disk too short";
    // 537 million values as double, 4,296,000,000 bytes; the last one is 7.
    const run_result made = run_shell(dir,
                                      "(printf 'ncols 1000\\nnrows 537000\\n'; yes 0 | head -n "
                                      "536999999; echo 7) > in.asc");
    ASSERT_EQ(made.status, 0);
    const run_result run = run_rastmill_in(dir, {"double", "in.asc", "out.bin"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(fs::file_size(dir / "out.bin"), 4'296'000'000ull);
    std::ifstream out(dir / "out.bin", std::ios::binary);
    out.seekg(-8, std::ios::end);
    std::string last(8, '\0');
    out.read(last.data(), 8);
    EXPECT_EQ(last, le_bytes<double>({7}));
}

TEST(CommandLine, LongPaths) {
    scratch_dir dir;
    const std::string folder =
        std::string(200, 'd') + "/" + std::string(200, 'e') + "/" + std::string(200, 'f');
    fs::create_directories(dir.path / folder);
    write_file(dir / (folder + "/in.asc"), small_grid);
    const run_result run =
        run_rastmill_in(dir, {"float", folder + "/in.asc", folder + "/" + std::string(200, 'o')});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / (folder + "/" + std::string(200, 'o'))),
              le_bytes<float>({1.5f, -2, 3, 4}));
}

TEST(CommandLine, BundledExampleConverts) {
    scratch_dir dir;
    const run_result run = run_rastmill_in(dir, {"float", RASTMILL_EXAMPLES "/dem.asc", "dem.bin"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(fs::file_size(dir / "dem.bin"), 40u * 30u * 4u);
}

}  // namespace
