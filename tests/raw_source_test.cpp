// Raw model output back to an Arc ascii grid, or to another format, on the layout of the grid it
// belongs to: end-to-end runs of the program, and the template read by itself.
#include "raw_source.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "test_support.h"

namespace {

// CR LF line ends, a byte-order mark and a no-data value that no narrow format holds.
const std::string grid =
    "\xEF\xBB\xBFncols 3\r\nnrows 2\r\nxllcorner 100.5\r\nyllcorner 200\r\ncellsize 0.25\r\n"
    "NODATA_value -9999\r\n1 -9999 300\r\n-4 5 -9999\r\n";
const std::string header = grid.substr(0, grid.find("1 -9999"));
// The header of the same grid written back from the sidecar --hdr wrote for it.
const std::string from_sidecar =
    "ncols         3\nnrows         2\nxllcorner     100.5\nyllcorner     200\n"
    "cellsize      0.25\nNODATA_value  -9999\n";

TEST(RawSource, TemplateHeaderByteForByte) {
    scratch_dir dir;
    write_file(dir / "in.asc", grid);
    grid_header read;
    std::string text;
    ASSERT_FALSE(read_template(dir / "in.asc", read, text).failed());
    EXPECT_EQ(text, header);
    EXPECT_EQ(read.nrows, 2);
    EXPECT_EQ(read.nodata, "-9999");
    const cell_text style = template_style(read, text, FMT_CHAR);
    EXPECT_EQ(style.line_end, "\r\n");
    EXPECT_EQ(static_cast<signed char>(style.nodata_bytes[0]), -15);  // as char stores -9999
    EXPECT_TRUE(read_template(dir / "missing.asc", read, text).failed());
}

// The header lines of templates read once, whatever their length: the last one keeps its line
// end, or gets the template's where the file ends without one; the white space before the first
// value is the rows'.
TEST(RawSource, TemplateHeaderLines) {
    const std::string many_lines = [] {
        std::string lines;
        for (int i = 0; i < 300000; ++i)
            lines += "dx 1\n";  // 1.5 MB, past a block of the reader
        return lines;
    }();
    const struct {
        const char* name;
        std::string bytes;
        std::string text;  // expected; empty where refused
        std::int32_t nrows;
    } cases[] = {
        {"no-data line last, no line end", "ncols 3\nnrows 2\nNODATA_value -9999",
         "ncols 3\nnrows 2\nNODATA_value -9999\n", 2},
        {"CR LF", "ncols 3\r\nnrows 2\r\nNODATA_value -9999",
         "ncols 3\r\nnrows 2\r\nNODATA_value -9999\r\n", 2},
        {"row count last, no line end", "NODATA_value -9999\nncols 3\nnrows 2",
         "NODATA_value -9999\nncols 3\nnrows 2\n", 2},
        {"white space before the end", "ncols 3\nnrows 2\n \t", "ncols 3\nnrows 2\n", 2},
        {"white space before the first value", "ncols 3\nnrows 2\n\t 1 2 3\n", "ncols 3\nnrows 2\n",
         2},
        {"longer than a block", "ncols 3\nnrows 2\n" + many_lines + "1 2 3\n",
         "ncols 3\nnrows 2\n" + many_lines, 2},
        {"longer than 16 MiB", std::string(std::size_t(17) << 20, '\n') + "ncols 3\nnrows 2\n", "",
         0},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "t.asc", c.bytes);
        grid_header read;
        std::string text;
        const failure f = read_template(dir / "t.asc", read, text);
        if (c.text.empty()) {
            EXPECT_EQ(f.message, "Template header longer than 16 MiB:") << c.name;
            EXPECT_EQ(f.detail, dir / "t.asc") << c.name;
            continue;
        }
        EXPECT_FALSE(f.failed()) << c.name << ": " << f.message;
        EXPECT_TRUE(text == c.text) << c.name << ": " << text.substr(0, 80);
        EXPECT_EQ(read.nrows, c.nrows) << c.name;
    }
}

#ifndef _WIN32
// asc -> FORMAT -> asc -> FORMAT gives the same bytes for every format, and the grid written back
// has the template's header, its line ends and its no-data text.
TEST(RawSource, EveryFormatRoundTrips) {
    scratch_dir dir;
    write_file(dir / "in.asc", grid);
    const char* formats[] = {"char",     "uchar",       "shortint",     "ushortint", "integer",
                             "uinteger", "longinteger", "ulonginteger", "float",     "double"};
    for (const char* format : formats) {
        const std::string f = format;
        const run_result run = run_shell(
            dir, "\"$RASTMILL\" " + f + " in.asc a.bin && \"$RASTMILL\" --like in.asc --from " + f +
                     " ascii a.bin back.asc && \"$RASTMILL\" " + f +
                     " back.asc b.bin && cmp a.bin b.bin");
        EXPECT_EQ(run.status, 0) << f << ": " << run.err;
        const std::string back = read_file(dir / "back.asc");
        EXPECT_EQ(back.substr(0, header.size()), header) << f;
        const bool real = f == "float" || f == "double";
        const std::string wrapped = f == "char" || f == "uchar" ? "44" : "300";
        const std::string first_row = real ? "1.0 -9999 300.0\r\n" : "1 -9999 " + wrapped + "\r\n";
        EXPECT_EQ(back.substr(header.size(), first_row.size()), first_row) << f;
    }
}

TEST(RawSource, SizesLayoutAndFormat) {
    const std::string shorts = le_bytes<std::int16_t>({1, -9999, 300, -4, 5, -9999});
    const std::string long_nodata = "-9999." + std::string(70, '0');
    struct {
        const char* name;
        std::string command;  // raw.bin holds the grid's six shorts
        std::string err;
        int status;
        std::optional<std::string> target;  // out.asc or out.bin
    } const cases[] = {
        {"to another format", "\"$RASTMILL\" --from shortint --like in.asc float raw.bin out.bin",
         "", 0, le_bytes<float>({1, -9999, 300, -4, 5, -9999})},
        {"short file",
         "head -c 11 raw.bin > s.bin && \"$RASTMILL\" --like in.asc --from short ascii s.bin "
         "out.asc",
         "Source size does not match the grid: s.bin holds 11 bytes; 2 x 3 shortint take 12\n", 1,
         std::nullopt},
        {"long file",
         "cat raw.bin raw.bin > l.bin && \"$RASTMILL\" --like in.asc --from short ascii l.bin "
         "out.asc",
         "Source size does not match the grid: l.bin holds 24 bytes; 2 x 3 shortint take 12\n", 1,
         std::nullopt},
        {"empty file", ": > e.bin && \"$RASTMILL\" --like in.asc --from short ascii e.bin out.asc",
         "Source size does not match the grid: e.bin holds 0 bytes; 2 x 3 shortint take 12\n", 1,
         std::nullopt},
        {"sizes past 2^64 do not wrap to the file's, and the target is left alone",
         "head -c 537552 /dev/zero > h.bin && printf 'NROWS 1073764994\\nNCOLS 2147437309\\nNBITS "
         "64\\nPIXELTYPE FLOAT\\n' > h.hdr && printf keep > out.asc && \"$RASTMILL\" ascii h.bin "
         "out.asc",
         "Source size does not match the grid: h.bin holds 537552 bytes; 1073764994 x 2147437309 "
         "double take 18446744073710089168\n",
         1, "keep"},
        {"the largest grid a sidecar can give",
         "printf 'NROWS 2147483647\\nNCOLS 2147483647\\nNBITS 64\\nPIXELTYPE FLOAT\\n' > "
         "raw.hdr && \"$RASTMILL\" ascii raw.bin out.asc",
         "Source size does not match the grid: raw.bin holds 12 bytes; 2147483647 x 2147483647 "
         "double take 36893488113059364872\n",
         1, std::nullopt},
        {"pipe ending early",
         "head -c 9 raw.bin | \"$RASTMILL\" --like in.asc --from short ascii - out.asc",
         "Error reading input: Row: 1\tColumn: 1\n", 1, header + "1 -9999 300\r\n"},
        {"pipe going on",
         "cat raw.bin raw.bin | \"$RASTMILL\" --like=in.asc --from=short ascii - out.asc",
         "Source holds more than the grid: -\n", 1, header + "1 -9999 300\r\n-4 5 -9999\r\n"},
        {"no layout", "\"$RASTMILL\" --from short ascii raw.bin out.asc",
         "Give the grid a raw source belongs to with --like GRID: raw.bin\n", 1, std::nullopt},
        {"no format", "\"$RASTMILL\" --like in.asc ascii raw.bin out.asc",
         "Give the element format of a raw source with --from FORMAT: raw.bin\n", 1, std::nullopt},
        {"text is no element format",
         "\"$RASTMILL\" --like in.asc --from ascii ascii raw.bin out.asc",
         "Unrecognized format specifier: ascii\n", 1, std::nullopt},
        {"read by its sidecar",
         "\"$RASTMILL\" --hdr shortint in.asc s.bin && \"$RASTMILL\" ascii s.bin out.asc", "", 0,
         from_sidecar + "1 -9999 300\n-4 5 -9999\n"},
        {"big-endian by its sidecar",
         "dd if=raw.bin of=big.bin conv=swab status=none && printf 'NROWS 2\\nNCOLS 3\\nNBITS "
         "16\\nPIXELTYPE SIGNEDINT\\nBYTEORDER M\\n' > big.hdr && \"$RASTMILL\" float big.bin "
         "out.bin",
         "", 0, le_bytes<float>({1, -9999, 300, -4, 5, -9999})},
        {"a grid beside a sidecar stays text",
         "\"$RASTMILL\" --hdr shortint in.asc in.bin && \"$RASTMILL\" short in.asc out.bin", "", 0,
         shorts},
        {"a named pipe with a sidecar, not looked into first",
         "mkfifo p.bin && printf 'NROWS 2\\nNCOLS 3\\nNBITS 16\\nPIXELTYPE SIGNEDINT\\nBYTEORDER "
         "I\\n' > p.hdr && (timeout 20 cat raw.bin > p.bin &) && \"$RASTMILL\" --from short float "
         "p.bin out.bin",
         "", 0, le_bytes<float>({1, -9999, 300, -4, 5, -9999})},
        {"an ENVI header beside it, passed over where the options say it all",
         "printf 'ENVI\\nsamples = 3\\n' > raw.hdr && \"$RASTMILL\" --like in.asc --from short "
         "float raw.bin out.bin && \"$RASTMILL\" --from short float raw.bin out.bin",
         "Cannot read the sidecar of a raw source: raw.hdr: an ENVI header; give --like GRID and "
         "--from FORMAT\n",
         1, le_bytes<float>({1, -9999, 300, -4, 5, -9999})},
        {"--from against the sidecar",
         "printf 'NROWS 2\\nNCOLS 3\\nNBITS 16\\nPIXELTYPE SIGNEDINT\\n' > raw.hdr && "
         "\"$RASTMILL\" --from ushortint ascii raw.bin out.asc",
         "The raw source's sidecar disagrees: raw.hdr says NBITS 16 PIXELTYPE SIGNEDINT "
         "(shortint), --from ushortint\n",
         1, std::nullopt},
        {"long and ulong are the 32-bit integers a sidecar names",
         "\"$RASTMILL\" --hdr long in.asc l.bin && \"$RASTMILL\" --hdr uinteger in.asc u.bin && "
         "\"$RASTMILL\" --from ulong ascii u.bin u.asc && \"$RASTMILL\" --from long ascii l.bin "
         "out.asc",
         "", 0, from_sidecar + "1 -9999 300\n-4 5 -9999\n"},
        {"--like against the sidecar",
         "printf 'NROWS 3\\nNCOLS 2\\nNBITS 16\\n' > raw.hdr && \"$RASTMILL\" --like in.asc "
         "ascii raw.bin out.asc",
         "The raw source's sidecar disagrees: raw.hdr has 3 x 2, in.asc 2 x 3\n", 1, std::nullopt},
        {"the source's sidecar as the target's",
         "\"$RASTMILL\" --hdr shortint in.asc s.bin && \"$RASTMILL\" --hdr float s.bin s.flt",
         "File already exists, and should not be overwritten: s.hdr\nhint: it is the source's "
         "sidecar\n",
         1, std::nullopt},
        {"a no-data text longer than 64 characters, whole",
         "{ printf 'ncols 3\\nnrows 2\\nNODATA_value -9999.'; printf '0%.0s' $(seq 70); echo; } "
         "> long.asc && \"$RASTMILL\" --like long.asc --from short ascii raw.bin out.asc",
         "", 0,
         "ncols 3\nnrows 2\nNODATA_value " + long_nodata + "\n1 " + long_nodata + " 300\n-4 5 " +
             long_nodata + "\n"},
        {"a template through a pipe",
         "cat in.asc | \"$RASTMILL\" --like /dev/stdin --from short ascii raw.bin out.asc", "", 0,
         grid},
        {"a template through a FIFO",
         "mkfifo t.fifo && (cat in.asc > t.fifo &) && \"$RASTMILL\" --like t.fifo --from short "
         "ascii raw.bin out.asc",
         "", 0, grid},
        {"a template through a process substitution",
         "bash -c '\"$RASTMILL\" --like <(cat in.asc) --from short ascii raw.bin out.asc'", "", 0,
         grid},
        {"a template whose last line has no line end",
         "printf 'ncols 3\\r\\nnrows 2\\r\\nNODATA_value -9999' > t.asc && \"$RASTMILL\" --like "
         "t.asc --from short ascii raw.bin out.asc",
         "", 0, "ncols 3\r\nnrows 2\r\nNODATA_value -9999\r\n1 -9999 300\r\n-4 5 -9999\r\n"},
        {"a template whose row count is last, without a line end",
         "printf 'NODATA_value -9999\\nncols 3\\nnrows 2' > t.asc && \"$RASTMILL\" --like t.asc "
         "--from short ascii raw.bin out.asc && \"$RASTMILL\" short out.asc out.bin && rm out.asc",
         "", 0, shorts},
        {"the template as the target",
         "\"$RASTMILL\" --like in.asc --from short ascii raw.bin in.asc && cmp in.asc keep.asc",
         "File already exists, and should not be overwritten: in.asc\nhint: the target is the "
         "template\n",
         1, std::nullopt},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.asc", grid);
        write_file(dir / "keep.asc", grid);
        write_file(dir / "raw.bin", shorts);
        const run_result run = run_shell(dir, c.command);
        EXPECT_EQ(run.err, c.err) << c.name;
        EXPECT_EQ(run.status, c.status) << c.name;
        const std::string out = fs::exists(dir / "out.bin") ? dir / "out.bin" : dir / "out.asc";
        EXPECT_EQ(fs::exists(out), c.target.has_value()) << c.name;
        if (c.target) {
            EXPECT_EQ(read_file(out), *c.target) << c.name;
        }
    }
}

// GDAL reads the grid written back to the binary's cells, typed as real.
TEST(RawSource, GdalReadsTheGridWrittenBack) {
    if (std::system("command -v gdal_translate >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no gdal_translate here";
    }
    scratch_dir dir;
    write_file(dir / "dem.asc", read_file(std::string(RASTMILL_EXAMPLES) + "/dem.asc"));
    const run_result run = run_shell(
        dir,
        "\"$RASTMILL\" float dem.asc a.bin && \"$RASTMILL\" --like dem.asc --from float ascii "
        "a.bin back.asc && gdal_translate -q -of ENVI back.asc g.bin && cmp a.bin g.bin && "
        "gdalinfo back.asc | grep -q 'Type=Float32'");
    EXPECT_EQ(run.status, 0) << run.err;

    // The header made from a sidecar, rastmill's or GDAL's, places the grid where GDAL does.
    const run_result placed = run_shell(
        dir,
        "where() { gdalinfo \"$1\" | grep -E '^(Size is|Origin|Pixel Size)|NoData'; } && "
        "\"$RASTMILL\" --hdr float dem.asc s.bin && \"$RASTMILL\" ascii s.bin s.asc && "
        "where s.bin > a && where s.asc > b && cmp a b && "
        "gdal_translate -q -of EHdr -ot Int16 dem.asc g.bil && \"$RASTMILL\" ascii g.bil g.asc && "
        "where g.bil > a && where g.asc > b && cmp a b && "
        "gdal_translate -q -ot Float64 -of ENVI g.asc g1.bin && "
        "gdal_translate -q -ot Float64 -of ENVI g.bil g2.bin && "
        "cmp g1.bin g2.bin");
    EXPECT_EQ(placed.status, 0) << placed.err;

    // A model's NaN cells are written as the no-data text, which GDAL reads, even first.
    const run_result nan_first = run_shell(
        dir,
        "printf 'ncols 2\\nnrows 1\\nxllcorner 0\\nyllcorner 0\\ncellsize 1\\nNODATA_value "
        "-9999\\n' > t.asc && printf '\\000\\000\\300\\177\\000\\000\\200\\077' > n.bin && "
        "\"$RASTMILL\" --like t.asc --from float ascii n.bin n.asc && "
        "gdal_translate -q -of ENVI n.asc n2.bin");
    EXPECT_EQ(nan_first.status, 0) << nan_first.err;
    EXPECT_EQ(read_file(dir / "n.asc"), read_file(dir / "t.asc") + "-9999 1.0\n");
}

// Sidecars that GDAL reads by its defaults and its last-label rule give the grid gdalinfo shows.
TEST(RawSource, GdalPlacesTheSameSidecars) {
    if (std::system("command -v gdalinfo >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no gdalinfo here";
    }
    const char* sidecars[] = {
        "NROWS 3\\nNCOLS 2\\nNROWS 2\\nNCOLS 3\\nULXMAP 10\\nULYMAP 20\\nULXMAP 50\\n"
        "NODATA 5\\nNODATA 7\\nNBITS 32\\n",
        "NROWS 2\\nNCOLS 3\\nPIXELTYPE FLOAT\\nBYTEORDER I\\nULXMAP 100.5\\nULYMAP 7\\n"
        "XDIM 30\\nYDIM 30.0\\n",
        "NROWS 2\\nNCOLS 3\\nNBITS 32\\nULXMAP 10\\nULYMAP 20\\nCELLSIZE 2\\n",
        "NCOLS 3\\nNROWS 2\\nXLLCORNER 10\\nYLLCORNER 20\\nBYTEORDER LSBFIRST\\n",
        "NCOLS 3\\nNROWS 2\\nXLLCORNER 10\\nCELLSIZE 2\\nBYTEORDER LSBFIRST\\n",
        "NCOLS 3\\nNROWS 2\\nXLLCENTER 10\\nYLLCORNER 20\\nCELLSIZE 2\\n",
        "NCOLS 3\\nNROWS 2\\nCELLSIZE 2\\nNODATA_VALUE 1\\nNODATA 4\\n",
        "NCOLS 3\\nNROWS 2\\nNBITS 32\\nNODATA -1\\nBYTEORDER I\\nXDIM 2\\n",
    };
    for (const char* sidecar : sidecars) {
        scratch_dir dir;
        const run_result run = run_shell(
            dir,
            std::string("printf '") + sidecar +
                "' > x.hdr && printf '\\77\\377\\1\\0\\0\\0\\0\\277%16s' '' > x.bin && "
                "where() { gdalinfo \"$1\" | grep -E '^(Size is|Origin|Pixel Size)|NoData'; } && "
                "\"$RASTMILL\" ascii x.bin x.asc && where x.bin > a && where x.asc > b && "
                "cmp a b && grep -q Origin a");
        EXPECT_EQ(run.status, 0) << sidecar << ": " << run.err;
    }
}
#endif

}  // namespace
