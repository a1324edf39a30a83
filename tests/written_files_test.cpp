// The files a run writes against what it reads and what lies beside its source, and the mistakes
// people make on the command line: each refused with one line before anything is written.
#include "written_files.h"

#include <gtest/gtest.h>

#include <string>

#include "source_hints.h"
#include "test_support.h"

namespace {

const std::string grid = grid_text(3, 2, "1 -9999 300\n-4 5 -9999\n");
const std::string shorts = le_bytes<std::int16_t>({1, -9999, 300, -4, 5, -9999});
const std::string envi = "ENVI\nsamples = 3\nlines = 2\nbands = 1\ndata type = 2\n";
const std::string swap_hint =
    "hint: check the order of the operands: rastmill FORMAT SOURCE TARGET\n";

struct mistake {
    const char* name;
    std::string command;
    std::string err;   // empty: the run succeeds
    std::string kept;  // a file whose bytes must not change, "" for none
};

// Runs each case in a folder holding in.asc (with in.prj), its cells as raw shorts in raw.bin,
// o.bin, the same cells beside the ENVI header o.hdr (and o.bin.hdr) and o.prj that GDAL writes,
// and the grids b.asc and c.asc.
void run_cases(const std::vector<mistake>& cases) {
    for (const mistake& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.asc", grid);
        write_file(dir / "in.prj", "PROJCS[\"in\"]");
        write_file(dir / "raw.bin", shorts);
        write_file(dir / "o.bin", shorts);
        write_file(dir / "o.hdr", envi);
        write_file(dir / "o.prj", "PROJCS[\"o\"]");
        write_file(dir / "o.bin.hdr", envi);
        write_file(dir / "b.asc", grid);
        write_file(dir / "c.asc", "NROWS 1\nNCOLS 1\n7\n");
        const std::string before = c.kept.empty() ? "" : read_file(dir / c.kept);
        const run_result run = run_shell(dir, c.command);
        EXPECT_EQ(run.err, c.err) << c.name;
        EXPECT_EQ(run.status, c.err.empty() ? 0 : 1) << c.name;
        if (!c.kept.empty()) {
            EXPECT_EQ(read_file(dir / c.kept), before) << c.name;
        }
    }
}

TEST(WrittenFiles, SidecarsBesideARawSourceAreNeverWritten) {
    const std::string like = "\"$RASTMILL\" --like in.asc --from short ";
    run_cases({
        {"its ENVI header, passed over, as the target's sidecar", like + "--hdr float o.bin o.dat",
         "File already exists, and should not be overwritten: o.hdr\nhint: it is the source's "
         "sidecar\n",
         "o.hdr"},
        {"its ENVI header as the target", like + "float o.bin o.hdr",
         "File already exists, and should not be overwritten: o.hdr\nhint: the target is the "
         "source's sidecar\n",
         "o.hdr"},
        {"its header under GDAL's other name", like + "float o.bin o.bin.hdr",
         "File already exists, and should not be overwritten: o.bin.hdr\nhint: the target is the "
         "source's sidecar\n",
         "o.bin.hdr"},
        {"a new .hdr under its name would describe it as something else",
         "rm o.hdr && " + like + "--hdr float o.bin o.dat && test ! -e o.hdr",
         "Refusing to write a file named as the source's sidecar: o.hdr\nhint: GIS tools would "
         "read it as the sidecar of o.bin: name the target otherwise\n",
         ""},
        {"its header in upper case, which GDAL reads too",
         "mv o.hdr o.HDR && { " + like +
             "float o.bin o.HDR; s=$?; cmp -s o.HDR o.bin.hdr && exit $s; }",
         "File already exists, and should not be overwritten: o.HDR\nhint: the target is the "
         "source's sidecar\n",
         ""},
        {"its .prj, which the template's would replace",
         "rm o.hdr && " + like + "--hdr ascii o.bin o.asc",
         "File already exists, and should not be overwritten: o.prj\nhint: it is the source's "
         ".prj\n",
         "o.prj"},
        {"its .prj as the target", "rm o.hdr && " + like + "float o.bin o.prj",
         "File already exists, and should not be overwritten: o.prj\nhint: the target is the "
         "source's .prj\n",
         "o.prj"},
        {"the template's .prj as the target", like + "float raw.bin in.prj",
         "File already exists, and should not be overwritten: in.prj\nhint: the target is the "
         "template's .prj\n",
         "in.prj"},
        {"a folder as the template",
         "mkdir d.asc && \"$RASTMILL\" --like d.asc --from short ascii raw.bin x.asc",
         "Cannot open file: d.asc\nhint: the template is a folder\n", ""},
        {"a text grid's .prj as the target", "\"$RASTMILL\" float in.asc in.prj",
         "File already exists, and should not be overwritten: in.prj\nhint: the target is the "
         "source's .prj\n",
         "in.prj"},
        {"another name is free", like + "--hdr float o.bin p.dat && cmp p.prj in.prj", "", "o.hdr"},
        {"--hdr with ascii copies the template's .prj",
         like + "--hdr ascii raw.bin back.asc && cmp back.prj in.prj && test ! -e back.hdr", "",
         "in.asc"},
        {"--hdr with ascii removes a stale .prj",
         "echo stale > back.prj && rm in.prj && " + like +
             "--hdr ascii raw.bin back.asc && test ! -e back.prj",
         "", ""},
    });
}

TEST(WrittenFiles, MistakesOnTheCommandLine) {
    run_cases({
        {"operands swapped after a first run",
         "\"$RASTMILL\" float in.asc out.bin && \"$RASTMILL\" float out.bin in.asc",
         "Refusing to overwrite an Arc ascii grid with binary cells: in.asc\n" + swap_hint,
         "in.asc"},
        {"a glob that gave two grids", "\"$RASTMILL\" float in.asc b.asc",
         "Refusing to overwrite an Arc ascii grid with binary cells: b.asc\n" + swap_hint, "b.asc"},
        {"a grid whose keywords come in another order", "\"$RASTMILL\" char in.asc c.asc",
         "Refusing to overwrite an Arc ascii grid with binary cells: c.asc\n" + swap_hint, "c.asc"},
        {"operands swapped onto a compressed grid",
         "gzip -k in.asc && cp in.asc.gz keep.gz && \"$RASTMILL\" float in.asc out.bin && "
         "{ \"$RASTMILL\" float out.bin in.asc.gz; s=$?; cmp -s in.asc.gz keep.gz && exit $s; }",
         "Refusing to overwrite a compressed file with binary cells: in.asc.gz\n" + swap_hint, ""},
        {"binary cells onto a zip of grids",
         "python3 -c \"import zipfile; zipfile.ZipFile('in.zip','w').write('in.asc')\" && "
         "cp in.zip keep.zip && \"$RASTMILL\" float in.asc out.bin && "
         "{ \"$RASTMILL\" float out.bin in.zip; s=$?; cmp -s in.zip keep.zip && exit $s; }",
         "Refusing to overwrite a compressed file with binary cells: in.zip\n" + swap_hint, ""},
        {"a raw source onto a grid",
         "\"$RASTMILL\" --like in.asc --from short float raw.bin in.asc",
         "Refusing to overwrite an Arc ascii grid with binary cells: in.asc\n" + swap_hint,
         "in.asc"},
        {"other targets are replaced", "echo old > out.bin && \"$RASTMILL\" char in.asc out.bin",
         "", ""},
        {"a grid written again as text",
         "cp in.asc out.asc && \"$RASTMILL\" --like in.asc --from short ascii raw.bin out.asc", "",
         ""},
        {"a file name where the format belongs", "\"$RASTMILL\" in.asc raw.bin out.bin",
         "Unrecognized format specifier: in.asc\nhint: " + format_names_hint() + "\n", "raw.bin"},
        {"a path where the format belongs",
         "\"$RASTMILL\" ./float in.asc out.bin && test ! -e out.bin",
         "Unrecognized format specifier: ./float\nhint: " + format_names_hint() + "\n", ""},
        {"a Windows path", "\"$RASTMILL\" 'd\\x' in.asc out.bin",
         "Unrecognized format specifier: d\\x\nhint: " + format_names_hint() + "\n", ""},
        {"--hdr through /dev/stdout", "\"$RASTMILL\" --hdr float in.asc /dev/stdout > out.bin",
         "Cannot write a sidecar beside standard output: /dev/stdout\n", ""},
        {"--hdr through /dev/fd/1", "\"$RASTMILL\" --hdr float in.asc /dev/fd/1 > out.bin",
         "Cannot write a sidecar beside standard output: /dev/fd/1\n", ""},
        {"--hdr through /proc/self/fd/1",
         "\"$RASTMILL\" --hdr float in.asc /proc/self/fd/1 > out.bin",
         "Cannot write a sidecar beside standard output: /proc/self/fd/1\n", ""},
    });
}

TEST(WrittenFiles, HintsSayWhatTheSourceIsAndKeepTheRun) {
    const std::string gzip("\x1f\x8b\x08\x00", 4);
    run_cases({
        {"gzip cut short, whatever the name; control bytes in a name shown escaped",
         "printf '\\037\\213\\010' > 'my dem.asc' && cp 'my dem.asc' \"$(printf 'e\\033.gz')\" && "
         "{ \"$RASTMILL\" float 'my dem.asc' out.bin; \"$RASTMILL\" float \"$(printf "
         "'e\\033.gz')\" "
         "out.bin; }",
         // A build without an inflater refuses them as such.
         program_reads("gzip (")
             ? "Compressed source is damaged: my dem.asc\nhint: the file ends inside a gzip "
               "member (member 1, near byte 3 of the compressed data); the compressed file is "
               "damaged\nCompressed source is damaged: e\\x1b.gz\nhint: the file ends inside a "
               "gzip member (member 1, near byte 3 of the compressed data); the compressed file "
               "is damaged\n"
             : "This build of rastmill cannot read: my dem.asc\nhint: it is gzip; it was built "
               "without ISA-L and zlib\nThis build of rastmill cannot read: e\\x1b.gz\nhint: it "
               "is gzip; it was built without ISA-L and zlib\n",
         ""},
        {"a header cut short", "printf 'ncols 2\\n' > c.asc && \"$RASTMILL\" float c.asc out.bin",
         "Fatal error Unrecognized input file format:\nhint: c.asc begins as an Arc ascii grid, "
         "but its header lacks ncols or nrows\n",
         ""},
        {"a GRASS ASCII grid",
         "printf 'north: 10\\nsouth: 0\\neast: 10\\nwest: 0\\nrows: 1\\ncols: 1\\n5\\n' > g.asc && "
         "\"$RASTMILL\" float g.asc out.bin",
         "Fatal error Unrecognized input file format:\nhint: g.asc is a GRASS ASCII grid: convert "
         "it with r.out.gdal or gdal_translate -of AAIGrid\n",
         ""},
        {"a pipe with a sidecar beside it",
         "\"$RASTMILL\" --hdr short in.asc p.bin && rm p.bin && mkfifo p.bin && "
         "{ cat raw.bin > p.bin & } && \"$RASTMILL\" ascii p.bin out.asc",
         "Fatal error Unrecognized input file format:\nhint: p.bin is a pipe, read once: give "
         "--from FORMAT to read raw cells with p.hdr\n",
         ""},
        {"standard input", "\"$RASTMILL\" float - out.bin < raw.bin",
         "Fatal error Unrecognized input file format:\nhint: standard input holds no Arc ascii "
         "grid: for raw cells give --like GRID and --from FORMAT\n",
         ""},
        {"--strict at the no-data value", "\"$RASTMILL\" --strict uchar in.asc out.bin",
         "Value changes in the target format: Row: 0\tColumn: 1\nhint: the cell is the grid's "
         "no-data value -9999, which uchar does not hold: add --nodata N to write no-data cells "
         "as N\n",
         ""},
        {"--strict at the no-data value of raw cells",
         "\"$RASTMILL\" --strict --like in.asc --from short uchar raw.bin out.bin",
         "Value changes in the target format: Row: 0\tColumn: 1\nhint: the cell is the grid's "
         "no-data value -9999, which uchar does not hold: add --nodata N to write no-data cells "
         "as N\n",
         ""},
        {"--strict at another cell", "\"$RASTMILL\" --strict --nodata 0 uchar in.asc out.bin",
         "Value changes in the target format: Row: 0\tColumn: 2\n", ""},
        {"an ascii target of a text grid", "\"$RASTMILL\" ascii in.asc out.asc",
         "The source is an Arc ascii grid already; ascii writes raw cells back as one: in.asc\n",
         ""},
    });
}

// --hdr copies the template's .prj for a raw source given --like, the source's otherwise.
TEST(WrittenFiles, PrjCopiedFromTheTemplateOrTheSource) {
    struct {
        const char* source;
        const char* like;
        bool raw;
        const char* prj;
    } const cases[] = {
        {"in.asc", "", false, "in.prj"},   {"dir/o.bin", "t.asc", true, "t.prj"},
        {"o.bin", "", true, "o.prj"},      {"-", "", false, ""},
        {"-", "a/t.asc", true, "a/t.prj"}, {"in.asc", "t.asc", false, "in.prj"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(prj_copied(c.source, c.like, c.raw), c.prj) << c.source << " " << c.like;
}

}  // namespace
