// End-to-end runs against what a shell and a hostile OS do: extra operands, failing reads, size
// limits, closed standard descriptors, endless sources, pipes held open. Each case once lost data,
// hung or reported a failure wrongly.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

std::string floats_grid(int ncols, int nrows) {
    std::string body;
    for (int i = 0; i < ncols * nrows; ++i)
        body += std::to_string(i) + " ";
    return grid_text(ncols, nrows, body);
}

std::string first_floats(int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i)
        bytes += le_bytes<float>({static_cast<float>(i)});
    return bytes;
}

// The peak resident KiB of the program run in dir with args and RASTMILL_THREADS=threads; -1 when
// it failed.
long peak_kib(const scratch_dir& dir, const char* threads, const std::vector<std::string>& args) {
    const std::string program = program_under_test();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(dir.path.c_str()) != 0) _exit(127);
        setenv("RASTMILL_THREADS", threads, 1);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return -1;
    }
    return usage.ru_maxrss;
}

// Memory is taken once per run, not per row: a grid of 20 MB takes little more than one of 12
// cells, both ways, at any thread count. Every page a run touches is also a page fault, which
// costs about 11 us on a virtual machine; a run on two threads once took 6 MiB more.
TEST(HostileOs, PeakMemoryStaysFlatAsTheGridGrows) {
    if (sanitized || std::getenv("RASTMILL_UNDER_TEST") != nullptr) {
        GTEST_SKIP() << "sanitizers and emulators have memory of their own";
    }
    scratch_dir dir;
    write_file(dir / "small.asc", grid_text(4, 3, "1 2 3 4 5 6 7 8 9 10 11 12\n"));
    write_file(dir / "large.asc", floats_grid(1000, 3000));
    ASSERT_EQ(peak_kib(dir, "1", {"float", "large.asc", "large.bin"}) > 0, true);
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> runs = {
        {{"float", "small.asc", "small.bin"}, {"float", "large.asc", "large.bin"}},
        {{"--like", "small.asc", "--from", "float", "ascii", "small.bin", "small-back.asc"},
         {"--like", "large.asc", "--from", "float", "ascii", "large.bin", "large-back.asc"}},
    };
    for (const char* threads : {"1", "2", "4"}) {
        for (const auto& [small, large] : runs) {
            const long base = peak_kib(dir, threads, small);
            const long grown = peak_kib(dir, threads, large);
            ASSERT_GT(base, 0) << small[0];
            ASSERT_GT(grown, 0) << large[0];
            EXPECT_LE(grown - base, 3 * 1024)
                << large[0] << " on " << threads << " threads: " << base << " KiB for 12 cells, "
                << grown << " KiB for 3,000,000";
        }
    }
}

TEST(HostileOs, NoDataLostNoHangNoFalseReport) {
    const std::string grid = grid_text(2, 2, "1 2\n3 4\n");
    // Large enough to be parsed on several threads; the last value is cut short.
    std::string large = floats_grid(1000, 1500);
    large.pop_back();
    large.pop_back();
    const std::string bad_row_1 = grid_text(2, 3, "1 2\n3 x\n5 6\n");
    // A bad value after the block the size limit cut short, before the next block is handed over.
    std::string bad_after_limit = floats_grid(1000, 3000);
    bad_after_limit.replace(bad_after_limit.find(" 2700000 "), 9, " 2700x00 ");
    std::string bad_on_threads = floats_grid(1000, 1500);
    bad_on_threads.replace(bad_on_threads.find(" 1400000 "), 9, " 14000x0 ");
    struct {
        const char* name;
        std::string source;   // in.asc
        std::string command;  // run in the folder, $RASTMILL is the program
        std::string err;
        int status;
        std::optional<std::string> target;  // out.bin; nullopt: must not exist
        bool through_terminal;  // the source also comes through a terminal that then hangs up
    } const cases[] = {
        {"extra operands overwrite no grid", grid,
         "cp in.asc b.asc && \"$RASTMILL\" float in.asc b.asc out.bin && cmp in.asc b.asc",
         "Usage: rastmill target_format source_file target_file\n", 1, std::nullopt, false},
        {"read error after the data", "ncols 2\nnrows 2\n1 2\n3 45",
         "\"$RASTMILL\" integer \"$TERMINAL\" out.bin", "Error reading input: Row: 1\tColumn: 1\n",
         1, le_bytes<std::int32_t>({1, 2}), true},
        {"read error in a large grid", large, "\"$RASTMILL\" float \"$TERMINAL\" out.bin",
         "Error reading input: Row: 1499\tColumn: 999\n", 1, first_floats(1499000), true},
        {"read error in the header", "ncols 2\nnro", "\"$RASTMILL\" integer \"$TERMINAL\" out.bin",
         "Error reading input: Row: 0\tColumn: 0\n", 1, std::nullopt, true},
        {"file-size limit", floats_grid(100, 100),
         "bash -c 'ulimit -f 8 && exec \"$RASTMILL\" float in.asc out.bin'",
         "Error writing output: Row: 20\tColumn: 48\n", 1, first_floats(2048), false},
        {"file-size limit reached in a block written behind", floats_grid(1000, 3000),
         "bash -c 'ulimit -f 10000 && exec \"$RASTMILL\" float in.asc out.bin'",
         "Error writing output: Row: 2560\tColumn: 0\n", 1, first_floats(2560000), false},
        {"bad value parsed on threads", bad_on_threads, "\"$RASTMILL\" float in.asc out.bin",
         "Error reading input: Row: 1400\tColumn: 0\nhint: \"14000x0\" on line 7 of in.asc\n", 1,
         first_floats(1400000), false},
        {"file-size limit, then a bad value, one thread", bad_after_limit,
         "RASTMILL_THREADS=1 bash -c 'ulimit -f 10000 && exec \"$RASTMILL\" float in.asc out.bin'",
         "Error writing output: Row: 2560\tColumn: 0\n", 1, first_floats(2560000), false},
        {"file-size limit behind the converter, then a bad value", bad_after_limit,
         "bash -c 'ulimit -f 10000 && exec \"$RASTMILL\" float in.asc out.bin'",
         "Error writing output: Row: 2560\tColumn: 0\n", 1, first_floats(2560000), false},
        {"closed standard output as the target", grid,
         "\"$RASTMILL\" char in.asc - >&- && touch out.bin", "Cannot open file: -\n", 1,
         std::nullopt, false},
        {"standard output and error closed", bad_row_1,
         "\"$RASTMILL\" shortint in.asc out.bin >&- 2>&-", "", 1, le_bytes<std::int16_t>({1, 2}),
         false},
        {"standard input and error closed", bad_row_1,
         "\"$RASTMILL\" shortint in.asc out.bin <&- 2>&-", "", 1, le_bytes<std::int16_t>({1, 2}),
         false},
        {"source redirected from the target", grid, "\"$RASTMILL\" float - in.asc < in.asc",
         "File already exists, and should not be overwritten: in.asc\n", 1, std::nullopt, false},
        {"target appended to the source", grid,
         "cp in.asc out.bin && \"$RASTMILL\" float out.bin - >> out.bin",
         "File already exists, and should not be overwritten: -\n", 1, grid, false},
        {"endless source that is no grid", grid, "timeout 10 \"$RASTMILL\" float /dev/zero out.bin",
         "Fatal error Unrecognized input file format:\nhint: /dev/zero is no Arc ascii grid: for "
         "raw "
         "cells give --like GRID and --from FORMAT\n",
         1, std::nullopt, false},
        {"pipe held open after the last value", grid,
         "mkfifo f && ({ cat in.asc; sleep 20; } > f &) && timeout 5 \"$RASTMILL\" char f out.bin",
         "", 0, le_bytes<std::int8_t>({1, 2, 3, 4}), false},
        {"pipe held open after a large grid", floats_grid(1000, 1500),
         "mkfifo f && ({ cat in.asc; sleep 20; } > f &) && timeout 5 \"$RASTMILL\" float f out.bin",
         "", 0, first_floats(1500000), false},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.asc", c.source);
        run_result run{};
        if (c.through_terminal) {
            pseudo_terminal terminal;
            if (terminal.slave < 0) GTEST_SKIP() << "no pseudo-terminal here";
            run = terminal.run_and_hang_up(dir, c.command, c.source);
        } else {
            run = run_shell(dir, c.command);
        }
        EXPECT_EQ(run.err.substr(0, c.err.size()), c.err) << c.name;
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_EQ(fs::exists(dir / "out.bin"), c.target.has_value()) << c.name;
        if (c.target) {
            const std::string written = read_file(dir / "out.bin");
            if (c.target->size() < 1000) {
                EXPECT_EQ(written, *c.target) << c.name;
            } else {
                EXPECT_TRUE(written == *c.target) << c.name << ": " << written.size() << " bytes";
            }
        }
        EXPECT_EQ(read_file(dir / "in.asc"), c.source) << c.name;
    }
}

// Under every address-space limit a large grid either converts exactly as on one thread or, where
// one thread cannot either, fails with one line; nothing hangs, nothing is cut mid-row silently.
TEST(HostileOs, MemoryLimitsFallBackToOneThread) {
    if (sanitized || std::getenv("RASTMILL_UNDER_TEST") != nullptr) {
        GTEST_SKIP() << "sanitizers and emulators need more address space";
    }
    scratch_dir dir;
    write_file(dir / "in.asc", floats_grid(1000, 3000));
    const std::string expected = first_floats(3000000);
    // Half-MiB steps: the margins between the two are that small (a failed try for the workers'
    // slots once left the heap unable to give one thread's).
    for (int kib = 6 * 1024; kib <= 16 * 1024; kib += 512) {
        const double mib = kib / 1024.0;
        const std::string limit = "ulimit -v " + std::to_string(kib) + " && exec timeout 30 ";
        const run_result one =
            run_shell(dir, "bash -c '" + limit +
                               "env RASTMILL_THREADS=1 \"$RASTMILL\" float in.asc one.bin'");
        const run_result many =
            run_shell(dir, "bash -c '" + limit + "\"$RASTMILL\" float in.asc many.bin'");
        EXPECT_NE(many.status, 124) << mib << " MiB: hangs";
        if (one.status != 0) {
            EXPECT_EQ(many.status, 1) << mib << " MiB";
            continue;
        }
        EXPECT_EQ(many.status, 0) << mib << " MiB: " << many.err;
        EXPECT_TRUE(read_file(dir / "many.bin") == expected) << mib << " MiB";
    }
}

// Grids of the shapes the vector kernels take, each large enough that the default may start the
// workers in the middle of the grid (a pipe always gets them after its first megabyte): the same
// bytes, status and message as one thread, whole, with a bad token after the first megabytes, and
// one row short.
TEST(HostileOs, DefaultThreadsMoveWhatOneThreadMoves) {
    if (std::getenv("RASTMILL_UNDER_TEST") != nullptr) {
        GTEST_SKIP() << "emulators take minutes for these grids";
    }
    const auto cells = [](int count, auto&& token) {
        std::string body;
        for (int i = 0; i < count; ++i)
            body += token(i) + (i % 1000 == 999 ? "\n" : " ");
        return body;
    };
    const auto decimal = [](int i, int places) {
        const int scale = places == 3 ? 1000 : 10000;
        const int v = static_cast<int>(std::int64_t(i) * 7919 % 9000000);
        std::string fraction = std::to_string(scale + v % scale).substr(1);
        if (places > 4) fraction += "443359375";
        return i % 53 == 0 ? std::string("-9999") : std::to_string(v / scale) + "." + fraction;
    };
    const struct {
        const char* name;
        const char* format;
        int count;
        std::string body;
    } grids[] = {
        {"class", "char", 3000000,
         cells(3000000, [](int i) { return std::to_string(i * 7 % 13); })},
        {"int16", "shortint", 1500000,
         cells(1500000,
               [](int i) { return std::to_string(std::int64_t(i) * 7919 % 20000 - 9999); })},
        {"dem", "float", 1000000, cells(1000000, [&](int i) { return decimal(i, 3); })},
        {"gdal", "float", 400000, cells(400000, [&](int i) { return decimal(i, 13); })},
    };
    scratch_dir dir;
    for (const auto& g : grids) {
        const int nrows = g.count / 1000;
        std::string bad = g.body;
        bad.replace(bad.size() * 9 / 10, 1, "x");
        const std::string damaged[] = {grid_text(1000, nrows, g.body), grid_text(1000, nrows, bad),
                                       grid_text(1000, nrows + 1, g.body)};
        for (const std::string& text : damaged) {
            write_file(dir / "in.asc", text);
            // A regular file, and a pipe, whose size is unknown.
            for (const auto& [feed, source] : {std::pair{"", "in.asc"}, {"cat in.asc | ", "-"}}) {
                const std::string run =
                    std::string(feed) + "\"$RASTMILL\" " + g.format + " " + source;
                const run_result one = run_shell(dir, "rm -f one.bin; " + std::string(feed) +
                                                          "RASTMILL_THREADS=1 \"$RASTMILL\" " +
                                                          g.format + " " + source + " one.bin");
                const run_result picked =
                    run_shell(dir, "rm -f picked.bin; " + run + " picked.bin");
                EXPECT_EQ(picked.status, one.status) << g.name << " " << source;
                EXPECT_EQ(picked.err, one.err) << g.name << " " << source;
                EXPECT_TRUE(read_file(dir / "picked.bin") == read_file(dir / "one.bin"))
                    << g.name << " " << source;
            }
        }
    }
}

}  // namespace

namespace {

// Model output back to text into a file that fills up (a size limit, /dev/full), on one thread and
// on the default: the message names the first cell whose text did not wholly reach the file, a
// cell of the grid, not the bytes of text counted as elements.
TEST(HostileOs, TextTargetWriteFailureNamesACellOfTheGrid) {
    std::string body;
    for (int i = 0; i < 40000; ++i)
        body += std::to_string(i * 1.5) + " ";
    scratch_dir dir;
    write_file(dir / "in.asc", grid_text(200, 200, body));
    const run_result made = run_shell(dir,
                                      "\"$RASTMILL\" float in.asc raw.bin && \"$RASTMILL\" "
                                      "--like in.asc --from float ascii raw.bin full.asc");
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string text = read_file(dir / "full.asc");
    const std::size_t cells_start = text.find("\n0.0 ") + 1;
    std::uint64_t whole = 0;  // cells whose text lies in the first 100 KiB
    for (std::size_t i = cells_start; i < 102400; ++i)
        whole += text[i] != ' ' && text[i] != '\n' && (text[i + 1] == ' ' || text[i + 1] == '\n');
    const std::string at_limit =
        "Error writing output: " + row_column(whole / 200, whole % 200) + "\n";
    const std::string convert = "\"$RASTMILL\" --like in.asc --from float ascii raw.bin ";
    const std::pair<std::string, std::string> cases[] = {
        {"bash -c 'ulimit -f 100 && exec " + convert + "out.asc'", at_limit},
        {"RASTMILL_THREADS=1 bash -c 'ulimit -f 100 && exec " + convert + "out.asc'", at_limit},
        {convert + "/dev/full", "Error writing output: Row: 0\tColumn: 0\n"},
        {"RASTMILL_THREADS=1 " + convert + "/dev/full",
         "Error writing output: Row: 0\tColumn: 0\n"},
    };
    for (const auto& [command, err] : cases) {
        const run_result run = run_shell(dir, command);
        EXPECT_EQ(run.status, 1) << command;
        EXPECT_EQ(run.err, err) << command;
    }
}

}  // namespace
