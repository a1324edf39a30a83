// Compressed and archived sources through the built program: a gzip file or a zip member gives
// the bytes of the plain grid at every thread count and through both inflaters; damage, archives
// of several grids and members it cannot read are refused with one line and a hint. A build
// without the libraries refuses them all with one line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "failure.h"
#include "test_support.h"

namespace {

// What the program under test reads, as it says; asked once.
bool reads_gzip() {
    static const bool reads = program_reads("gzip (");
    return reads;
}
bool reads_zip() {
    static const bool reads = program_reads("zip (minizip)");
    return reads;
}

// Three megabytes of decimals with no-data cells: more than a chunk, a block and a thread's share.
std::string dem(int nrows = 1500, int ncols = 200) {
    std::string body;
    for (int r = 0; r < nrows; ++r) {
        for (int c = 0; c < ncols; ++c) {
            body += (r * 7 + c) % 97 == 0 ? "-9999" : std::to_string(r * 3 + c) + ".25";
            body += c + 1 == ncols ? "\n" : " ";
        }
    }
    return grid_text(ncols, nrows, body);
}

// Archives as other tools write them, from Python's zipfile: FILE NAME[:stored|bzip2|zip64|
// descriptor] SOURCE ..., where a descriptor member is written through a stream that cannot seek.
const char* const MAKE_ZIP = R"(python3 - "$@" <<'PY'
import io, sys, zipfile
class Stream(io.RawIOBase):
    def __init__(self): self.data = bytearray()
    def writable(self): return True
    def write(self, b): self.data += b; return len(b)
args = sys.argv[1:]
stream = Stream()
target = stream if any(a.endswith(':descriptor') for a in args[1::2]) else args[0]
with zipfile.ZipFile(target, 'w', zipfile.ZIP_DEFLATED) as z:
    for spec, source in zip(args[1::2], args[2::2]):
        name, _, kind = spec.partition(':')
        data = open(source, 'rb').read()
        if kind == 'zip64':
            with z.open(name, 'w', force_zip64=True) as f: f.write(data)
        else:
            method = {'stored': zipfile.ZIP_STORED, 'bzip2': zipfile.ZIP_BZIP2}.get(kind, zipfile.ZIP_DEFLATED)
            z.writestr(zipfile.ZipInfo(name), data, compress_type=method)
if target is stream: open(args[0], 'wb').write(stream.data)
PY
)";

// Runs command after defining make_zip, with $RASTMILL.
run_result run_with_zip(const scratch_dir& dir, const std::string& command) {
    return run_shell(dir, std::string("make_zip() {\n") + MAKE_ZIP + "\n}\n" + command);
}

// A build without the libraries: one line naming what it cannot read, and a hint.
void expect_refused_by_build(const run_result& run, const std::string& what) {
    EXPECT_EQ(run.status, 1) << what;
    EXPECT_EQ(run.err.rfind(std::string(MSG_CANNOT_UNPACK) + " ", 0), 0u) << what << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << what << run.err;
}

}  // namespace

TEST(Compressed, GzipGivesThePlainGridsBytes) {
    scratch_dir dir;
    write_file(dir / "dem.asc", dem());
    ASSERT_EQ(run_rastmill_in(dir, {"--hdr", "float", "dem.asc", "plain.bin"}).status, 0);
    const std::string plain = read_file(dir / "plain.bin");
    // One member; three members (cat a.gz b.gz c.gz) cut inside rows; a plain name.
    ASSERT_EQ(run_shell(dir,
                        "gzip -c dem.asc > dem.asc.gz && head -c 1000001 dem.asc | gzip > m && "
                        "tail -c +1000002 dem.asc | head -c 5 | gzip >> m && "
                        "tail -c +1000007 dem.asc | gzip >> m && mv m members.asc")
                  .status,
              0);
    if (!reads_gzip()) {
        return expect_refused_by_build(run_rastmill_in(dir, {"float", "dem.asc.gz", "o.bin"}),
                                       "gzip");
    }
    const std::vector<std::string> engines = {"isal", "zlib"};
    for (const std::string& engine : engines) {
        for (const char* threads : {"1", "2", "3"}) {
            const std::string env = "RASTMILL_INFLATE=" + engine + " RASTMILL_THREADS=" + threads;
            const run_result run = run_shell(
                dir, env + " \"$RASTMILL\" --hdr float dem.asc.gz gz.bin && " + env +
                         " \"$RASTMILL\" float members.asc members.bin && gzip -c dem.asc | " +
                         env + " \"$RASTMILL\" float - piped.bin");
            if (run.err.find(MSG_UNKNOWN_INFLATER) != std::string::npos ||
                run.err.find(MSG_CANNOT_UNPACK) != std::string::npos) {
                continue;  // the build lacks this engine
            }
            ASSERT_EQ(run.status, 0) << engine << " " << threads << ": " << run.err;
            EXPECT_TRUE(read_file(dir / "gz.bin") == plain) << engine << " " << threads;
            EXPECT_TRUE(read_file(dir / "members.bin") == plain) << engine << " " << threads;
            EXPECT_TRUE(read_file(dir / "piped.bin") == plain) << engine << " " << threads;
            EXPECT_EQ(read_file(dir / "gz.hdr"), read_file(dir / "plain.hdr"));
        }
    }
    // A .gz name on a plain grid; a gzipped template and raw cells back as text.
    const run_result back =
        run_shell(dir,
                  "cp dem.asc plain.asc.gz && \"$RASTMILL\" float plain.asc.gz named.bin && "
                  "gzip -c plain.bin > plain.bin.gz && \"$RASTMILL\" --like dem.asc.gz "
                  "--from float ascii plain.bin.gz back.asc && \"$RASTMILL\" --like dem.asc "
                  "--from float ascii plain.bin back2.asc");
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(read_file(dir / "named.bin") == plain);
    EXPECT_TRUE(read_file(dir / "back.asc") == read_file(dir / "back2.asc"));
    EXPECT_EQ(run_rastmill_in(dir, {"float", "dem.asc.gz", "o.bin"}).status, 0);
    const run_result unknown =
        run_shell(dir, "RASTMILL_INFLATE=lz4 \"$RASTMILL\" float dem.asc.gz o.bin");
    EXPECT_EQ(unknown.err, std::string(MSG_UNKNOWN_INFLATER) +
                               " lz4\nhint: RASTMILL_INFLATE takes isal or zlib\n");
}

// Cut in its header, its deflate data or its trailer, a changed CRC-32 or length, bytes after
// it, a bad value in it: one line naming the source, a hint saying it is damaged, and the target
// never taken for whole.
TEST(Compressed, DamagedGzipIsRefused) {
    if (!reads_gzip()) GTEST_SKIP() << "a build without an inflater";
    scratch_dir dir;
    write_file(dir / "dem.asc", dem(400, 100));
    ASSERT_EQ(run_shell(dir, "gzip -c dem.asc > dem.gz").status, 0);
    const std::size_t size = read_file(dir / "dem.gz").size();
    const struct {
        std::string name;
        std::string make;
        std::string why;
    } cases[] = {
        {"cut in the header", "head -c 6 dem.gz", "the file ends inside a gzip member"},
        {"cut in the data", "head -c " + std::to_string(size / 2) + " dem.gz",
         "the file ends inside a gzip member"},
        {"cut in the trailer", "head -c " + std::to_string(size - 3) + " dem.gz",
         "the file ends inside a gzip member"},
        {"a wrong CRC-32",
         "python3 -c \"import sys; d=bytearray(open('dem.gz','rb').read()); d[-8]^=1; "
         "sys.stdout.buffer.write(d)\"",
         "a gzip member's CRC-32 or length disagrees with its trailer"},
        {"a wrong length",
         "python3 -c \"import sys; d=bytearray(open('dem.gz','rb').read()); d[-2]^=1; "
         "sys.stdout.buffer.write(d)\"",
         "a gzip member's CRC-32 or length disagrees with its trailer"},
        {"trailing garbage", "cat dem.gz; printf 'garbage'",
         "bytes that are no gzip member follow the last member"},
        {"deflate data changed",
         "python3 -c \"import sys; d=bytearray(open('dem.gz','rb').read()); d[40]^=0xff; "
         "sys.stdout.buffer.write(d)\"",
         ""},
    };
    for (const auto& c : cases) {
        for (const char* threads : {"1", "2"}) {
            const run_result run =
                run_shell(dir, "(" + c.make + ") > bad.asc.gz && RASTMILL_THREADS=" + threads +
                                   " \"$RASTMILL\" float bad.asc.gz out.bin");
            EXPECT_EQ(run.status, 1) << c.name;
            EXPECT_EQ(run.err.rfind("Compressed source is damaged: bad.asc.gz\nhint: " + c.why, 0),
                      0u)
                << c.name << ": " << run.err;
            EXPECT_NE(run.err.find("; the compressed file is damaged\n"), std::string::npos)
                << c.name;
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << c.name;
        }
    }
    // A bit flipped early in a large file: still deflate data, its cells changed and found bad
    // long before the CRC-32 at the end. Said as damage on every thread count, never as a value.
    write_file(dir / "large.asc", dem());
    for (const char* threads : {"1", "2", "7"}) {
        const run_result run = run_shell(
            dir, std::string("gzip -c large.asc | python3 -c \"import sys; "
                             "d=bytearray(sys.stdin.buffer.read()); d[len(d) // 8]^=0x10; "
                             "sys.stdout.buffer.write(d)\" > flipped.gz && RASTMILL_THREADS=") +
                     threads + " \"$RASTMILL\" float flipped.gz out.bin");
        EXPECT_EQ(run.err.rfind("Compressed source is damaged: flipped.gz\nhint: ", 0), 0u)
            << threads << ": " << run.err;
    }
    // A bad value is said as in the plain grid, its token read again through the gzip.
    const run_result token =
        run_shell(dir,
                  "sed 's/^3.25 /3.2x /' dem.asc | gzip > token.asc.gz && \"$RASTMILL\" float "
                  "token.asc.gz out.bin");
    EXPECT_EQ(token.err,
              "Error reading input: Row: 1\tColumn: 0\nhint: \"3.2x\" on line 8 of token.asc.gz\n");
}

// A gzip pipe whose writer keeps it open: a run that fails in its first bytes ends at once, on
// one thread and with the unpacking on its own, as it does for a plain pipe.
TEST(Compressed, GzipPipeHeldOpenWhileTheRunFails) {
    if (!reads_gzip()) GTEST_SKIP() << "a build without an inflater";
    // A Windows program cannot ask whether a read of a pipe would wait: it reads a whole block.
    if (std::getenv("RASTMILL_TARGET_WINDOWS") != nullptr) GTEST_SKIP() << "a Windows program";
    scratch_dir dir;
    write_file(dir / "text.txt", "no grid here\n");
    write_file(dir / "bad.asc", grid_text(3, 2, "1 2 x\n4 5 6\n"));
    const struct {
        std::string source;
        std::string err;
    } cases[] = {
        {"text.txt", std::string(MSG_FATAL) + " " + MSG_NOT_A_GRID + "\n"},
        {"bad.asc", "Error reading input: Row: 0\tColumn: 2\n"},
    };
    for (const auto& c : cases) {
        for (const char* threads : {"1", "2"}) {
            const run_result run =
                run_shell(dir, "rm -f f && mkfifo f && ({ gzip -c " + c.source +
                                   "; sleep 20; } > f &) && RASTMILL_THREADS=" + threads +
                                   " timeout 5 \"$RASTMILL\" float f out.bin");
            EXPECT_EQ(run.status, 1) << c.source << " " << threads;
            EXPECT_EQ(run.err.substr(0, c.err.size()), c.err) << c.source << " " << threads;
        }
    }
}

TEST(Compressed, ZipMembers) {
    scratch_dir dir;
    write_file(dir / "dem.asc", dem(300, 100));
    write_file(dir / "dem.prj", "PROJCS[\"x\"]\n");
    ASSERT_EQ(run_rastmill_in(dir, {"float", "dem.asc", "plain.bin"}).status, 0);
    const std::string plain = read_file(dir / "plain.bin");
    const run_result made = run_with_zip(
        dir,
        "make_zip deflated.zip dem.asc dem.asc dem.prj dem.prj && "
        "make_zip stored.zip dem.asc:stored dem.asc && make_zip z64.zip dem.asc:zip64 dem.asc && "
        "make_zip descriptor.zip dem.asc:descriptor dem.asc && "
        "make_zip one-text.zip data/dem.txt dem.asc && "
        "make_zip mac.zip dem.asc dem.asc __MACOSX/._dem.asc dem.prj && "
        "make_zip two.zip a.asc dem.asc b/b.asc dem.asc && "
        "make_zip up.zip ../up.asc dem.asc && make_zip bz.zip dem.asc:bzip2 dem.asc && "
        "make_zip none.zip dem.prj dem.prj readme.txt dem.prj && "
        "make_zip p2.prj dem.asc dem.asc && "
        "python3 -c \"d=bytearray(open('stored.zip','rb').read()); d[6]|=1; "
        "i=d.rindex(b'PK\\x01\\x02'); d[i+8]|=1; open('locked.zip','wb').write(d)\"");
    ASSERT_EQ(made.status, 0) << made.err;
    if (!reads_zip()) {
        return expect_refused_by_build(run_rastmill_in(dir, {"float", "deflated.zip", "o.bin"}),
                                       "zip");
    }
    for (const char* archive : {"deflated.zip", "stored.zip", "z64.zip", "descriptor.zip",
                                "one-text.zip", "mac.zip", "deflated.zip/dem.asc", "up.zip"}) {
        for (const char* threads : {"1", "2"}) {
            const run_result run =
                run_shell(dir, std::string("RASTMILL_THREADS=") + threads +
                                   " \"$RASTMILL\" float '" + archive + "' out.bin");
            ASSERT_EQ(run.status, 0) << archive << ": " << run.err;
            EXPECT_TRUE(read_file(dir / "out.bin") == plain) << archive << " " << threads;
        }
    }
    // A member's name is never a path to write.
    EXPECT_FALSE(fs::exists(dir.path.parent_path() / "up.asc"));
    // The .prj beside the member in its archive goes beside the target.
    ASSERT_EQ(run_rastmill_in(dir, {"--hdr", "float", "deflated.zip", "p.bin"}).status, 0);
    EXPECT_EQ(read_file(dir / "p.prj"), "PROJCS[\"x\"]\n");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } refused[] = {
        {{"float", "two.zip", "o.bin"},
         "Archive holds several grids: two.zip\nhint: name one as ARCHIVE/MEMBER: two.zip/a.asc, "
         "two.zip/b/b.asc\n"},
        {{"float", "two.zip/c.asc", "o.bin"},
         "No such member in archive: two.zip/c.asc\nhint: its grids: two.zip/a.asc, "
         "two.zip/b/b.asc\n"},
        {{"float", "none.zip", "o.bin"},
         "No grid in archive: none.zip\nhint: it holds no .asc member\n"},
        {{"float", "bz.zip", "o.bin"},
         "Cannot read archive member: bz.zip/dem.asc\nhint: it is compressed with bzip2; only "
         "stored and deflated members are read\n"},
        {{"float", "locked.zip", "o.bin"},
         "Cannot read archive member: locked.zip/dem.asc\nhint: it is encrypted\n"},
        {{"float", "dem.asc/x.asc", "o.bin"},
         "Cannot read zip archive: dem.asc\nhint: it is no zip archive, so dem.asc/x.asc names "
         "no file\n"},
        {{"float", "deflated.zip", "deflated.zip"},
         "File already exists, and should not be overwritten: deflated.zip\nhint: the target "
         "is the source\n"},
        // An archive named as the .prj written: the template is read from it.
        {{"--hdr", "--like", "p2.prj/dem.asc", "--from", "float", "float", "plain.bin", "p2.bin"},
         "File already exists, and should not be overwritten: p2.prj\nhint: it is the "
         "template\n"},
    };
    const std::string before = read_file(dir / "deflated.zip");
    for (const auto& c : refused) {
        const run_result run = run_rastmill_in(dir, c.args);
        EXPECT_EQ(run.status, 1) << c.args[1];
        EXPECT_EQ(run.err, c.err) << c.args[1];
    }
    EXPECT_TRUE(read_file(dir / "deflated.zip") == before);
    EXPECT_TRUE(read_file(dir / "p2.prj").starts_with("PK"));
    const run_result piped = run_shell(dir, "\"$RASTMILL\" float - o.bin < stored.zip");
    EXPECT_EQ(piped.err, std::string(MSG_ARCHIVE_FROM_STDIN) +
                             " standard input\nhint: give the archive's path\n");
    // A member whose data differs from its directory's CRC-32.
    const run_result damaged =
        run_shell(dir,
                  "python3 -c \"d=bytearray(open('stored.zip','rb').read()); d[60]^=1; "
                  "open('damaged.zip','wb').write(d)\" && \"$RASTMILL\" float damaged.zip o.bin");
    EXPECT_EQ(damaged.err.rfind("Compressed source is damaged: damaged.zip/dem.asc\nhint: the "
                                "member's CRC-32 disagrees with the archive's directory",
                                0),
              0u)
        << damaged.err;
}
