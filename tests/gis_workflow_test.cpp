// End-to-end runs as a GIS user makes them: options, "-" for the standard streams, headers as
// other tools write them, the georeferenced sidecar read back by GDAL, progress on a terminal.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "digit_kernels.h"
#include "test_support.h"

namespace {

const std::string grid =
    "ncols 3\nnrows 2\nxllcorner 100.5\nyllcorner 200\ncellsize 0.25\nNODATA_value -9999\n"
    "1 2 3\n4 -9999 6\n";

bool have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(GisWorkflow, OptionsAndStandardStreams) {
    const std::string usage_start = "Usage: rastmill target_format source_file target_file\n";
    const std::string help_start =
        "Usage: rastmill [--hdr] [--round] [--nodata N] [--strict] FORMAT GRID.asc TARGET\n";
    const std::string floats = le_bytes<float>({1, 2, 3, 4, -9999, 6});
    struct {
        const char* name;
        std::string command;  // the source is in.asc; stdout goes to out.txt
        std::string out_start, err_start;
        int status;
        std::optional<std::string> target;  // out.bin
    } const cases[] = {
        {"--help", "\"$RASTMILL\" --help", help_start, "", 0, std::nullopt},
        {"-h", "\"$RASTMILL\" -h float in.asc out.bin", help_start, "", 0, std::nullopt},
        {"--help names every option, format and peer name",
         "h=$(\"$RASTMILL\" --help) && for w in --like --from --hdr --round --nodata --strict "
         "'Int16, i2' 'Byte, u1' 'Float64, f8' 'mask = char' 'ascii dem.bin' RASTMILL_THREADS "
         "'man rastmill'; do case \"$h\" in *\"$w\"*) ;; *) exit 1 ;; esac; done && echo all",
         "all\n", "", 0, std::nullopt},
        {"--version", "\"$RASTMILL\" --version", "rastmill 1.", "", 0, std::nullopt},
        {"unknown option", "\"$RASTMILL\" float in.asc out.bin --bogus", "",
         "rastmill: unknown option '--bogus'\n" + usage_start, 1, std::nullopt},
        {"--version with an operand", "\"$RASTMILL\" --version extra", "", usage_start, 1,
         std::nullopt},
        {"options after the operands", "\"$RASTMILL\" float in.asc out.bin --hdr && ls", "", "", 0,
         floats},
        {"option between the operands", "\"$RASTMILL\" float --hdr in.asc out.bin && cat out.hdr",
         "BYTEORDER", "", 0, floats},
        {"a target named like an option", "\"$RASTMILL\" float in.asc -- -x && mv -- -x out.bin",
         "", "", 0, floats},
        {"source from standard input", "cat in.asc | \"$RASTMILL\" float - out.bin", "", "", 0,
         floats},
        {"target on standard output", "\"$RASTMILL\" float in.asc - | cat > out.bin", "", "", 0,
         floats},
        {"both", "cat in.asc | \"$RASTMILL\" -- float - - > out.bin", "", "", 0, floats},
        // POSIX hosts read a closed standard input as /dev/null; on Windows the read fails.
        {"closed standard input", "\"$RASTMILL\" float - out.bin <&-", "",
         std::getenv("RASTMILL_TARGET_WINDOWS") != nullptr
             ? "Error reading input: Row: 0\tColumn: 0\n"
             : "Fatal error Unrecognized input file format:\n",
         1, std::nullopt},
        {"sidecar beside standard output", "\"$RASTMILL\" --hdr float in.asc -", "",
         "Cannot write a sidecar beside standard output: -\n", 1, std::nullopt},
        {"sidecar that is the source",
         "cp in.asc out.hdr && \"$RASTMILL\" --hdr float out.hdr out.bin", "",
         "File already exists, and should not be overwritten: out.hdr\n", 1, std::nullopt},
        {"sidecar that cannot be written",
         "mkdir out.hdr && \"$RASTMILL\" --hdr float in.asc out.bin", "",
         "Error writing output: out.hdr\n", 1, floats},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.asc", grid);
        const run_result run = run_shell(dir, "(" + c.command + ") > out.txt");
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_EQ(run.err.substr(0, c.err_start.size()), c.err_start) << c.name << ": " << run.err;
        EXPECT_EQ(read_file(dir / "out.txt").substr(0, c.out_start.size()), c.out_start) << c.name;
        if (c.out_start == usage_start) {
            // The whole usage, then the options, the environment and the manual.
            const std::string out = read_file(dir / "out.txt");
            EXPECT_EQ(out.find("\tveg = char\n"), 516u - 11) << c.name;
            for (const char* more : {"--hdr", "--version", "RASTMILL_THREADS", "man rastmill"})
                EXPECT_NE(out.find(more, 517), std::string::npos) << c.name << ": " << more;
        }
        if (std::string(c.name) == "options after the operands") {
            EXPECT_EQ(read_file(dir / "out.txt").find("--hdr"), std::string::npos);
            EXPECT_TRUE(fs::exists(dir / "out.hdr"));
        }
        EXPECT_EQ(fs::exists(dir / "out.bin"), c.target.has_value()) << c.name;
        if (c.target) {
            EXPECT_EQ(read_file(dir / "out.bin"), *c.target) << c.name;
        }
    }
}

// RASTMILL_KERNELS chooses the parsers' kernels in any case, --version names them, --help names
// the variable; a name this CPU does not run is refused before anything is read.
TEST(GisWorkflow, KernelsChosenByEnvironment) {
    struct {
        std::string command;  // the source is in.asc; stdout goes to out.txt
        std::string out_start, err;
        int status;
    } const cases[] = {
        {"RASTMILL_KERNELS=Portable \"$RASTMILL\" --version | sed -n 2p",
         "kernels: portable (this CPU runs portable", "", 0},
        // --help works whatever the environment names.
        {"RASTMILL_KERNELS=neon9 \"$RASTMILL\" --help | grep -c RASTMILL_KERNELS=NAME", "1\n", "",
         0},
        {"RASTMILL_KERNELS=portable \"$RASTMILL\" float in.asc out.bin && echo done", "done\n", "",
         0},
        {"RASTMILL_KERNELS=neon9 \"$RASTMILL\" float in.asc out.bin", "",
         "Unknown kernel set: neon9\nhint: this CPU runs " + runnable_kernel_names() + "\n", 1},
        {"RASTMILL_KERNELS=neon9 \"$RASTMILL\" --version", "",
         "Unknown kernel set: neon9\nhint: this CPU runs " + runnable_kernel_names() + "\n", 1},
        // A name is shown on the one line, control bytes escaped and a long one cut.
        {"RASTMILL_KERNELS=\"$(printf 'av\\nx2\\033')\" \"$RASTMILL\" float in.asc out.bin", "",
         "Unknown kernel set: av\\x0ax2\\x1b\nhint: this CPU runs " + runnable_kernel_names() +
             "\n",
         1},
        {"RASTMILL_KERNELS=$(printf '%0100d' 7) \"$RASTMILL\" float in.asc out.bin", "",
         "Unknown kernel set: " + std::string(64, '0') + "...\nhint: this CPU runs " +
             runnable_kernel_names() + "\n",
         1},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.asc", grid_text(2, 1, "1.5 -2\n"));
        const run_result run = run_shell(dir, "(" + c.command + ") > out.txt");
        EXPECT_EQ(run.status, c.status) << c.command;
        EXPECT_EQ(run.err, c.err) << c.command;
        EXPECT_EQ(read_file(dir / "out.txt").substr(0, c.out_start.size()), c.out_start)
            << c.command;
    }
}

// A binary target on a terminal is refused before anything is read; text may go there.
TEST(GisWorkflow, TerminalTargetIsRefused) {
    scratch_dir dir;
    write_file(dir / "in.asc", grid);
    pseudo_terminal terminal;
    if (terminal.slave < 0) GTEST_SKIP() << "no pseudo-terminal here";
    std::string shown;
    const run_result binary =
        terminal.run(dir, "\"$RASTMILL\" float in.asc - > \"$TERMINAL\"", shown);
    EXPECT_EQ(binary.status, 1);
    EXPECT_EQ(binary.err, "Refusing to write binary output to a terminal: -\n");
    const run_result named = terminal.run(dir, "\"$RASTMILL\" char in.asc \"$TERMINAL\"", shown);
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(shown, "");
    // Refused at once, not after a silent source has sent its header (on POSIX hosts; a Windows
    // program tells a terminal once it has opened it).
    if (std::getenv("RASTMILL_TARGET_WINDOWS") != nullptr) return;
    const run_result waiting = terminal.run(
        dir,
        "mkfifo p && { sleep 3 <>p & } && timeout 5 \"$RASTMILL\" char p \"$TERMINAL\"; "
        "echo $? > status",
        shown);
    EXPECT_EQ(read_file(dir / "status"), "1\n");
    EXPECT_EQ(waiting.err,
              "Refusing to write binary output to a terminal: " + terminal.path + "\n");
    EXPECT_EQ(shown, "");
}

// Aligned tiles with their no-data value declared, one missing: the mosaic GDAL's route builds
// (gdalbuildvrt, then gdal_translate), byte for byte, and gdalinfo reads the same place from ours.
TEST(GisWorkflow, MosaicIsWhatGdalBuildsFromTheTiles) {
    if (!have("gdalbuildvrt")) GTEST_SKIP() << "GDAL is not installed";
    scratch_dir dir;
    fs::create_directories(dir.path / "tiles");
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            if (i == 1 && j == 2) continue;
            std::string text = "ncols 5\nnrows 4\nxllcorner " + std::to_string(300000 + 150 * j) +
                               ".5\nyllcorner " + std::to_string(5000000 + 120 * (2 - i)) +
                               "\ncellsize 30\nNODATA_value -9999\n";
            for (int r = 0; r < 4; ++r) {
                for (int c = 0; c < 5; ++c)
                    text += (r + c + i) % 7 == 0 ? "-9999 "
                                                 : std::to_string(i * 97 + r * 5.25 + c) + " ";
                text += "\n";
            }
            write_file(dir / ("tiles/t" + std::to_string(i) + std::to_string(j) + ".asc"), text);
        }
    }
    const run_result run = run_shell(dir,
                                     "\"$RASTMILL\" --mosaic --hdr float tiles ours.bin && "
                                     "gdalbuildvrt -q all.vrt tiles/*.asc && "
                                     "gdal_translate -q -of ENVI -ot Float32 all.vrt gdal.bin && "
                                     "gdalinfo ours.bin > ours.txt && "
                                     "gdalinfo all.vrt > gdal.txt");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "ours.bin"), read_file(dir / "gdal.bin"));
    const auto line = [&](const std::string& file, const std::string& start) {
        const std::string text = read_file(dir / file);
        const std::size_t at = text.find(start);
        return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
    };
    for (const char* fact : {"Size is", "Origin =", "Pixel Size =", "  NoData Value="}) {
        EXPECT_EQ(line("ours.txt", fact), line("gdal.txt", fact)) << fact;
    }
}

// Headers as other tools write them convert to the cells GDAL reads from them.
TEST(GisWorkflow, HeaderOrdersAndSpacingsGiveGdalsCells) {
    if (!have("gdal_translate")) GTEST_SKIP() << "GDAL is not installed";
    const std::string body = "1.5 2 3\n4 5 -6.25\n";
    const std::string headers[] = {
        "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -9999\n",
        "nrows 2\nncols 3\nxllcorner 0\nyllcorner 0\ncellsize 1\n",
        "cellsize 1\nxllcorner 0\nyllcorner 0\nnrows 2\nncols 3\n",
        "NCOLS   3\r\nNROWS\t2\r\nXLLCENTER 0.5\r\nYLLCENTER 0.5\r\nCELLSIZE 1\r\n",
        "ncols 3\nnrows 2\n\nxllcorner 0\nyllcorner 0\ndx 1\ndy 2\n",
        "ncols\t3\nnrows\t2\nxllcorner\t0\nyllcorner\t0\ncellsize\t1\nnodata_value\t-1\n",
    };
    for (const std::string& header : headers) {
        scratch_dir dir;
        write_file(dir / "in.asc", header + body);
        const run_result run = run_shell(
            dir,
            "\"$RASTMILL\" float in.asc ours.bin && gdal_translate -q -of ENVI -ot Float32 "
            "in.asc gdal.bin");
        EXPECT_EQ(run.status, 0) << header << run.err;
        EXPECT_EQ(read_file(dir / "ours.bin"), read_file(dir / "gdal.bin")) << header;
    }
}

// gdalinfo sees the target as it sees the source; gdal_translate of it gives the source's cells.
TEST(GisWorkflow, SidecarIsWhatGdalReads) {
    if (!have("gdalinfo")) GTEST_SKIP() << "GDAL is not installed";
    scratch_dir dir;
    write_file(dir / "in.asc", grid);
    write_file(dir / "in.prj", "PROJCS[\"x\"]\n");
    // Coordinates longer than 64 characters keep their georeferencing too.
    std::string long_corner = grid;
    long_corner.insert(long_corner.find("100.5") + 5, std::string(70, '0'));
    write_file(dir / "long.asc", long_corner);
    const std::string facts = " | grep -E '^(Size is|Origin|Pixel Size)' ";
    const run_result run = run_shell(
        dir,
        "\"$RASTMILL\" --hdr char in.asc out.bin && \"$RASTMILL\" --hdr float in.asc f.bin && "
        "gdalinfo in.asc" +
            facts +
            "> source.txt && gdalinfo out.bin > char.txt && "
            "gdalinfo f.bin" +
            facts + "> float.txt && \"$RASTMILL\" --hdr float long.asc l.bin && gdalinfo l.bin" +
            facts +
            "> long.txt && "
            "gdal_translate -q -of AAIGrid f.bin back.asc && \"$RASTMILL\" float back.asc "
            "back.bin");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string source = read_file(dir / "source.txt");
    EXPECT_NE(source.find("Origin = (100.5"), std::string::npos) << source;
    EXPECT_EQ(read_file(dir / "float.txt"), source);
    EXPECT_EQ(read_file(dir / "long.txt"), source);
    const std::string char_info = read_file(dir / "char.txt");
    EXPECT_NE(char_info.find(source.substr(0, source.find('\n'))), std::string::npos);
    EXPECT_NE(char_info.find("NoData Value=-15"), std::string::npos) << char_info;
    const bool signed_byte = char_info.find("Type=Int8") != std::string::npos ||
                             char_info.find("PIXELTYPE=SIGNEDBYTE") != std::string::npos;
    EXPECT_TRUE(signed_byte) << char_info;
    EXPECT_EQ(read_file(dir / "back.bin"), read_file(dir / "f.bin"));
    EXPECT_EQ(read_file(dir / "out.prj"), "PROJCS[\"x\"]\n");
}

// The sidecar's no-data value is what the cells hold for the source's: wrapped from a raw source
// of another width, rounded with --round, truncated from a raw float source. GDAL, reading the
// target back, takes the no-data cell for no-data.
TEST(GisWorkflow, SidecarNoDataIsWhatTheCellsHold) {
    const std::string header = "ncols 3\nnrows 1\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    struct {
        std::string command;  // m.asc has NODATA_value -9999, d.asc -9999.5; writes out.bin
        std::string nodata;   // the .hdr's NODATA
        std::string first;    // the no-data cell of out.bin
    } const cases[] = {
        {"\"$RASTMILL\" char m.asc s.bin && \"$RASTMILL\" --like m.asc --from char --hdr shortint "
         "s.bin out.bin",
         "-15", le_bytes<std::int16_t>({-15})},
        {"\"$RASTMILL\" uchar m.asc s.bin && \"$RASTMILL\" --like m.asc --from uchar --hdr integer "
         "s.bin out.bin",
         "241", le_bytes<std::int32_t>({241})},
        {"\"$RASTMILL\" --round --hdr shortint d.asc out.bin", "-10000",
         le_bytes<std::int16_t>({-10000})},
        {"\"$RASTMILL\" --hdr float d.asc s.bin && \"$RASTMILL\" --hdr shortint s.bin out.bin",
         "-9999", le_bytes<std::int16_t>({-9999})},
        {"\"$RASTMILL\" --hdr float d.asc s.bin && \"$RASTMILL\" --round --hdr ushort s.bin "
         "out.bin",
         "55536", le_bytes<std::uint16_t>({55536})},
        {"\"$RASTMILL\" --hdr float d.asc s.bin && \"$RASTMILL\" --nodata 5e0 --hdr uchar s.bin "
         "out.bin",
         "5", le_bytes<std::uint8_t>({5})},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "m.asc", header + "NODATA_value -9999\n-9999 1 2\n");
        write_file(dir / "d.asc", header + "NODATA_value -9999.5\n-9999.5 1 2\n");
        const run_result run = run_shell(dir, c.command);
        ASSERT_EQ(run.status, 0) << c.command << run.err;
        const std::string hdr = read_file(dir / "out.hdr");
        EXPECT_NE(hdr.find("\nNODATA         " + c.nodata + "\n"), std::string::npos)
            << c.command << "\n"
            << hdr;
        EXPECT_EQ(read_file(dir / "out.bin").substr(0, c.first.size()), c.first) << c.command;
        if (!have("gdal_translate")) continue;
        // GDAL writes a cell it takes for no-data as the grid's NODATA_value.
        ASSERT_EQ(run_shell(dir, "gdal_translate -q -of AAIGrid out.bin back.asc").status, 0);
        std::istringstream back(read_file(dir / "back.asc"));
        std::string word, nodata, cell;
        while (back >> word && word != "NODATA_value") {
        }
        back >> nodata >> cell;
        EXPECT_EQ(cell, nodata) << c.command;
    }
}

// Every file --hdr writes is checked before anything is written: a sidecar that is its own target,
// one linked to the source, a target that is no regular file; a stale .prj goes.
TEST(GisWorkflow, SidecarNeverOverwritesWhatItShouldNot) {
    struct {
        const char* name;
        std::string command;  // in.asc and in.prj are there
        std::string err;
        const char* gone;  // a file that must not exist afterwards
    } const cases[] = {
        {"target named .hdr", "\"$RASTMILL\" --hdr char in.asc out.hdr",
         "Cannot write a sidecar over its own target: out.hdr\n", "out.hdr"},
        {"target named .prj", "\"$RASTMILL\" --hdr char in.asc out.prj",
         "Cannot write a sidecar over its own target: out.prj\n", "out.prj"},
        {"hard link from the .hdr to the target",
         "echo old > out.bin && ln out.bin out.hdr && \"$RASTMILL\" --hdr char in.asc out.bin",
         "Cannot write a sidecar over its own target: out.hdr\n", "out.txt"},
        {".hdr a symbolic link to the target, not there yet",
         "ln -s out.bin out.hdr && \"$RASTMILL\" --hdr char in.asc out.bin",
         "Cannot write a sidecar over its own target: out.hdr\n", "out.bin"},
        {".prj a symbolic link to the target, not there yet",
         "ln -s ./b/../out.bin out.prj && \"$RASTMILL\" --hdr char in.asc out.bin",
         "Cannot write a sidecar over its own target: out.prj\n", "out.bin"},
        {".prj a symbolic link to the source",
         "ln -s in.asc out.prj && \"$RASTMILL\" --hdr char in.asc out.bin",
         "File already exists, and should not be overwritten: out.prj\nhint: it is the source\n",
         "out.bin"},
        {".prj a hard link to the source",
         "ln in.asc out.prj && \"$RASTMILL\" --hdr char in.asc out.bin",
         "File already exists, and should not be overwritten: out.prj\nhint: it is the source\n",
         "out.bin"},
        {".hdr a link to the source's .prj",
         "ln -s in.prj out.hdr && \"$RASTMILL\" --hdr char in.asc out.bin",
         "File already exists, and should not be overwritten: out.hdr\nhint: it is the source\'s "
         ".prj\n",
         "out.bin"},
        {"null device target", "\"$RASTMILL\" --hdr char in.asc /dev/null",
         "Cannot write a sidecar beside a target that is not a regular file: /dev/null\n",
         "/dev/null.hdr"},
        {"FIFO target", "mkfifo f.bin && timeout 5 \"$RASTMILL\" --hdr char in.asc f.bin",
         "Cannot write a sidecar beside a target that is not a regular file: f.bin\n", "f.hdr"},
        {"64-bit elements", "\"$RASTMILL\" --hdr dbl in.asc out.bin",
         "Cannot write a sidecar that GIS tools read for: double\n", "out.bin"},
        {"stale .prj",
         "\"$RASTMILL\" --hdr char in.asc out.bin && mkdir b && cp in.asc b/ && "
         "\"$RASTMILL\" --hdr char b/in.asc out.bin && test ! -e out.prj && exit 7",
         "", "out.prj"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.asc", grid);
        write_file(dir / "in.prj", "PROJCS[\"x\"]\n");
        const run_result run = run_shell(dir, c.command);
        EXPECT_EQ(run.err, c.err) << c.name;
        EXPECT_EQ(run.status, c.err.empty() ? 7 : 1) << c.name;
        EXPECT_FALSE(fs::exists(c.gone[0] == '/' ? c.gone : dir / c.gone)) << c.name;
        EXPECT_EQ(read_file(dir / "in.asc"), grid) << c.name;
        EXPECT_EQ(read_file(dir / "in.prj"), "PROJCS[\"x\"]\n") << c.name;
    }
}

// A slow conversion shows its progress on a terminal and erases it; never elsewhere.
TEST(GisWorkflow, ProgressOnlyOnATerminal) {
    scratch_dir dir;
    write_file(dir / "in.asc", grid);
    const std::string slow_source = "(head -c 60 in.asc; sleep 1.6; tail -c +61 in.asc) | ";
    pseudo_terminal terminal;
    if (terminal.slave < 0) GTEST_SKIP() << "no pseudo-terminal here";
    std::string shown;
    const run_result run =
        terminal.run(dir, slow_source + "\"$RASTMILL\" float - out.bin 2> \"$TERMINAL\"", shown);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(shown.find("\rrastmill: 0.0 MB read"), std::string::npos) << shown;
    const std::size_t last = shown.rfind('\r', shown.size() - 2);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), '\r');
    EXPECT_EQ(shown.find_first_not_of(' ', last + 1), shown.size() - 1) << "not erased";

    std::string quiet;
    const run_result off = terminal.run(
        dir, slow_source + "RASTMILL_PROGRESS=0 \"$RASTMILL\" float - out.bin 2> \"$TERMINAL\"",
        quiet);
    EXPECT_EQ(off.status, 0);
    EXPECT_EQ(quiet, "");
    const run_result piped = run_shell(dir, slow_source + "\"$RASTMILL\" float - out.bin");
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
}

}  // namespace
