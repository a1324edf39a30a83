// Reading the sidecar beside a raw source, in both forms GIS tools write, as GDAL reads it.
#include "raw_sidecar.h"

#include <gtest/gtest.h>

#include <string>

#include "sidecar_writer.h"

namespace {

TEST(RawSidecar, ReadsBothFormsAsGdalDoes) {
    struct {
        const char* name;
        std::string text;
        element_format format;
        bool big_endian;
        std::string header;  // as the grid written back begins
    } const cases[] = {
        {"GDAL's EHdr, big-endian",
         "BYTEORDER      M\nLAYOUT         BIL\nNROWS          2\nNCOLS          3\nNBANDS 1\n"
         "NBITS          16\nBANDROWBYTES   6\nTOTALROWBYTES  6\nPIXELTYPE      SIGNEDINT\n"
         "ULXMAP         100\nULYMAP         200\nXDIM           2\nYDIM           3\n"
         "NODATA         -9999\n",
         FMT_SHORTINT, true,
         "ncols         3\nnrows         2\nxllcorner     99\nyllcorner     195.5\n"
         "dx            2\ndy            3\nNODATA_value  -9999\n"},
        {"float-grid header, lower case, CR LF",
         "ncols 3\r\nnrows 2\r\nxllcenter 10\r\nyllcenter 20\r\ncellsize 5\r\n"
         "NODATA_value -3.4e38\r\nbyteorder lsbfirst\r\n",
         FMT_FLOAT, false,
         "ncols         3\nnrows         2\nxllcenter     10\nyllcenter     20\n"
         "cellsize      5\nNODATA_value  -3.4e38\n"},
        {"no georeferencing: GDAL's corner and cell", "NROWS 2\nNCOLS 3\nNBITS 32\nBYTEORDER I\n",
         FMT_UINTEGER, false,
         "ncols         3\nnrows         2\nxllcorner     0\nyllcorner     0\ncellsize      1\n"},
        {"part of it: GDAL's defaults for the rest, byte order M, 8 bits unsigned",
         "NROWS 2\nNCOLS 3\nULXMAP 1e2\n", FMT_UCHAR, true,
         "ncols         3\nnrows         2\nxllcorner     99.5\nyllcorner     -1\n"
         "cellsize      1\n"},
    };
    for (const auto& c : cases) {
        raw_sidecar sidecar;
        const failure f = parse_sidecar(c.text, "s.hdr", sidecar);
        ASSERT_FALSE(f.failed()) << c.name << ": " << f.detail;
        EXPECT_EQ(sidecar.format, c.format) << c.name;
        EXPECT_EQ(sidecar.big_endian, c.big_endian) << c.name;
        EXPECT_EQ(grid_header_text(sidecar.header), c.header) << c.name;
    }
}

std::string lines_of_nothing(int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "COMMENT line\r\n";
    return text;
}

// What gdalinfo shows for the same sidecars: the last of a repeated label, the first 50 lines,
// its defaults for a missing NBITS, cell size or corner, CELLSIZE in either form.
TEST(RawSidecar, ReadsLabelsAsGdalDoes) {
    const std::string counts = "NROWS 2\nNCOLS 3\n";
    const std::string placed = "ncols         3\nnrows         2\n";
    const std::string unplaced = placed + "xllcorner     0\nyllcorner     0\ncellsize      1\n";
    struct {
        const char* name;
        std::string text;
        element_format format;
        std::string header;
    } const cases[] = {
        {"repeated labels: the last counts",
         "NROWS 3\nNCOLS 2\nNBITS 16\nNROWS 2\nNCOLS 3\nULXMAP 10\nULYMAP 20\nULXMAP 50\n"
         "NODATA 5\nNODATA_VALUE 7\nNBITS 8\n",
         FMT_UCHAR,
         placed + "xllcorner     49.5\nyllcorner     18.5\ncellsize      1\nNODATA_value  7\n"},
        {"the 50th line read, not the 51st",
         "NROWS 2\r\nNCOLS 3\r\n" + lines_of_nothing(47) + "NBITS 16\r\nNODATA 7\r\n",
         FMT_USHORTINT, unplaced},
        {"nothing after a line longer than GDAL reads",
         counts + "COMMENT " + std::string(993, 'x') + "\nNBITS 16\n", FMT_UCHAR, unplaced},
        {"PIXELTYPE FLOAT alone: Float32", counts + "PIXELTYPE FLOAT\n", FMT_FLOAT, unplaced},
        {"CELLSIZE in the EHdr form", counts + "ULXMAP 10\nULYMAP 20\nCELLSIZE 2\nNBITS 16\n",
         FMT_USHORTINT, placed + "xllcorner     9\nyllcorner     17\ncellsize      2\n"},
        {"CELLSIZE after XDIM", counts + "ULXMAP 10\nULYMAP 20\nXDIM 3\nCELLSIZE 2\nNBITS 8\n",
         FMT_UCHAR, placed + "xllcorner     9\nyllcorner     17\ncellsize      2\n"},
        {"a float grid without CELLSIZE", counts + "XLLCORNER 10\nYLLCORNER 20\n", FMT_FLOAT,
         placed + "xllcorner     10\nyllcorner     20\ncellsize      1\n"},
        {"a float grid without YLLCORNER", counts + "XLLCORNER 10\nCELLSIZE 2\n", FMT_FLOAT,
         placed + "xllcorner     10\nyllcorner     -3.5\ncellsize      2\n"},
        {"a float grid with CELLSIZE alone", counts + "CELLSIZE 2\n", FMT_FLOAT,
         placed + "xllcorner     -0.5\nyllcorner     -2.5\ncellsize      2\n"},
        {"one corner makes both corners", counts + "XLLCENTER 10\nYLLCORNER 20\nCELLSIZE 2\n",
         FMT_FLOAT, placed + "xllcorner     10\nyllcorner     20\ncellsize      2\n"},
        {"YLLCORNER wins over ULYMAP",
         counts + "ULXMAP 10\nULYMAP 20\nYLLCORNER 5\nXDIM 2\nYDIM 2\n", FMT_UCHAR,
         placed + "xllcorner     10\nyllcorner     5\ncellsize      2\n"},
        {"the last of ULXMAP and XLLCORNER",
         counts + "XLLCORNER 10\nULXMAP 50\nYLLCORNER 5\nCELLSIZE 2\n", FMT_FLOAT,
         placed + "xllcorner     50\nyllcorner     5\ncellsize      2\n"},
        {"at GDAL's own defaults: no placing", counts + "ULXMAP 0.50\nXDIM 1.0\n", FMT_UCHAR,
         unplaced},
        {"a negative NODATA makes integers signed", counts + "NBITS 16\nNODATA -9999\n",
         FMT_SHORTINT, unplaced + "NODATA_value  -9999\n"},
        {"bytes stay unsigned", counts + "NBITS 8\nNODATA -1\n", FMT_UCHAR,
         unplaced + "NODATA_value  -1\n"},
        {"unless PIXELTYPE says otherwise",
         counts + "NBITS 32\nNODATA_VALUE -1\nPIXELTYPE UNSIGNEDINT\n", FMT_UINTEGER,
         unplaced + "NODATA_value  -1\n"},
        {"square cells written two ways", counts + "ULXMAP 15\nULYMAP 45\nXDIM 30\nYDIM 30.0\n",
         FMT_UCHAR, placed + "xllcorner     0\nyllcorner     0\ncellsize      30\n"},
    };
    for (const auto& c : cases) {
        raw_sidecar sidecar;
        const failure f = parse_sidecar(c.text, "s.hdr", sidecar);
        EXPECT_FALSE(f.failed()) << c.name << ": " << f.detail;
        EXPECT_EQ(sidecar.format, c.format) << c.name;
        EXPECT_EQ(grid_header_text(sidecar.header), c.header) << c.name;
    }
}

TEST(RawSidecar, RefusesWhatItCannotRead) {
    const std::string counts = "NROWS 2\nNCOLS 3\n";
    struct {
        std::string text;
        std::string detail;
    } const cases[] = {
        {"NCOLS 3\n", "s.hdr: NROWS and NCOLS must be counts from 1"},
        {"NROWS 0\nNCOLS 3\n", "s.hdr: NROWS and NCOLS must be counts from 1"},
        {"NROWS 2\nNCOLS 3000000000\n", "s.hdr: NROWS and NCOLS must be counts from 1"},
        {counts + "NBANDS 3\n", "s.hdr: NBANDS 3: one band only"},
        {counts + "SKIPBYTES 512\n", "s.hdr: SKIPBYTES 512: rastmill reads from byte 0"},
        {counts + "NBITS 16\nTOTALROWBYTES 8\n", "s.hdr: TOTALROWBYTES 8 where rows take 6 bytes"},
        {counts + "NBITS 4\n", "s.hdr: NBITS 4 is no element format rastmill reads"},
        {counts + "NBITS 64\nPIXELTYPE SIGNEDINT\n",
         "s.hdr: NBITS 64 PIXELTYPE SIGNEDINT is no element format rastmill reads"},
        {counts + "PIXELTYPE COMPLEX\n",
         "s.hdr: PIXELTYPE COMPLEX is none of SIGNEDINT, UNSIGNEDINT, FLOAT"},
        {counts + "BYTEORDER X\n", "s.hdr: BYTEORDER X is neither I nor M"},
        {counts + "ULXMAP 1,5\n", "s.hdr: ULXMAP, ULYMAP, XDIM and YDIM must be numbers"},
        {counts + "CELLSIZE 5,0\n", "s.hdr: the corner and CELLSIZE must be numbers"},
        {counts + "XLLCENTER 1\nYLLCENTER 2\nCELLSIZE 3\nULXMAP ten\n",
         "s.hdr: ULXMAP, ULYMAP, XDIM and YDIM must be numbers"},
    };
    for (const auto& c : cases) {
        raw_sidecar sidecar;
        const failure f = parse_sidecar(c.text, "s.hdr", sidecar);
        EXPECT_EQ(f.message, MSG_BAD_SIDECAR) << c.text;
        EXPECT_EQ(f.detail, c.detail) << c.text;
    }
}

// What rastmill writes beside a target reads back to the same grid: the same numbers, not merely
// the same doubles, whatever their length; a centre given as such stays a centre.
TEST(RawSidecar, ReadsBackWhatTheWriterWrote) {
    struct {
        std::string xll, yll, cellsize, dx, dy;
        bool centre;
    } const cases[] = {
        {"512340.000000", "4231020.000000", "30.000000", "", "", false},
        {"-179.99999999999999999999", "0.1", "0.0083333333333333333333", "", "", false},
        {"1e5", "-2.5E-3", "", "0.5", "0.25", false},
        {"10", "20", "5", "", "", true},
    };
    for (const auto& c : cases) {
        grid_header header;
        header.ncols = 7;
        header.nrows = 123456;
        header.xll = c.xll;
        header.yll = c.yll;
        header.cellsize = c.cellsize;
        header.dx = c.dx;
        header.dy = c.dy;
        header.x_center = header.y_center = c.centre;
        header.nodata = "-9999";
        for (const char* target : {"a.bin", "a.flt"}) {
            raw_sidecar sidecar;
            const std::string text = sidecar_text(header, FMT_FLOAT, target);
            ASSERT_FALSE(parse_sidecar(text, "s.hdr", sidecar).failed()) << text;
            EXPECT_EQ(sidecar.format, FMT_FLOAT);
            EXPECT_FALSE(sidecar.big_endian);
            // Written again from what was read, the sidecar is the same text.
            EXPECT_EQ(sidecar_text(sidecar.header, FMT_FLOAT, target), text) << text;
            EXPECT_EQ(sidecar.header.nodata, "-9999");
        }
    }
}

}  // namespace
