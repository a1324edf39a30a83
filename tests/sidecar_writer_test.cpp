#include "sidecar_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// The value of one key of an .hdr text, or "absent".
std::string value_of(const std::string& text, const std::string& key) {
    const std::size_t at = text.find(key + " ");
    if (at == std::string::npos) return "absent";
    const std::size_t start = text.find_first_not_of(' ', at + key.size());
    return text.substr(start, text.find('\n', start) - start);
}

grid_header georeferenced(std::string xll, std::string yll, std::string cellsize) {
    grid_header header;
    header.ncols = 4;
    header.nrows = 3;
    header.xll = std::move(xll);
    header.yll = std::move(yll);
    header.cellsize = std::move(cellsize);
    return header;
}

grid_header centred(std::string dx, std::string dy, std::string cellsize = "") {
    grid_header header = georeferenced("10", "20", std::move(cellsize));
    header.x_center = header.y_center = true;
    header.dx = std::move(dx);
    header.dy = std::move(dy);
    return header;
}

// The upper-left cell centre in exact decimal arithmetic: no digit gained or lost.
TEST(Sidecar, UpperLeftCentreIsExact) {
    // A coordinate too long to keep as written, in the short form the header reader gives it.
    const std::string ones(65, '1');
    const std::string long_form = std::string("0.").append(ones).append("e65");
    const std::string ulx = std::string(ones).append(".5");
    struct {
        grid_header header;
        std::string ulx, uly, xdim, ydim;
    } const cases[] = {
        {georeferenced("100.5", "200", "0.25"), "100.625", "200.625", "0.25", "0.25"},
        {georeferenced("-180", "-90", "0.1"), "-179.95", "-89.75", "0.1", "0.1"},
        {georeferenced("0.1", "0.2", "0.3"), "0.25", "0.95", "0.3", "0.3"},
        {georeferenced("1e3", "-2.5E-1", "1"), "1000.5", "2.25", "1", "1"},
        {georeferenced("123456789012345678.123456789", "0", "0.000001"),
         "123456789012345678.123457289", "0.0000025", "0.000001", "0.000001"},
        {centred("2", "3"), "10", "26", "2", "3"},
        {georeferenced(long_form, "0", "1"), ulx, "2.5", "1", "1"},
        {georeferenced("abc", "0", "1"), "absent", "absent", "absent", "absent"},
        {georeferenced("", "0", "1"), "absent", "absent", "absent", "absent"},
    };
    for (const auto& c : cases) {
        const std::string text = ehdr_text(c.header, FMT_FLOAT);
        EXPECT_EQ(value_of(text, "ULXMAP"), c.ulx) << text;
        EXPECT_EQ(value_of(text, "ULYMAP"), c.uly) << text;
        EXPECT_EQ(value_of(text, "XDIM"), c.xdim) << text;
        EXPECT_EQ(value_of(text, "YDIM"), c.ydim) << text;
    }
}

// A cellsize line wins over dx and dy, as GDAL reads the grid.
TEST(Sidecar, CellsizeWinsOverDxDy) {
    const std::string text = ehdr_text(centred("2", "3", "5"), FMT_FLOAT);
    EXPECT_EQ(value_of(text, "XDIM"), "5");
    EXPECT_EQ(value_of(text, "YDIM"), "5");
    EXPECT_EQ(value_of(text, "ULYMAP"), "30");
}

// Layout and no-data as the target stores them.
TEST(Sidecar, PixelTypeAndNoDataFollowTheFormat) {
    struct {
        element_format format;
        std::string nodata;
        std::string nbits, pixeltype, shown;
    } const cases[] = {
        {FMT_CHAR, "-9999", "8", "SIGNEDINT", "-15"},
        {FMT_UCHAR, "-9999", "8", "UNSIGNEDINT", "241"},
        {FMT_USHORTINT, "-1", "16", "UNSIGNEDINT", "65535"},
        {FMT_LONGINTEGER, "-9999.0", "32", "SIGNEDINT", "-9999"},
        {FMT_INTEGER, "-9999.5", "32", "SIGNEDINT", "absent"},
        {FMT_FLOAT, "-3.4028234663852886e+38", "32", "FLOAT", "-3.4028235e+38"},
        {FMT_DOUBLE, "NaN", "64", "FLOAT", "nan"},
        {FMT_FLOAT, "", "32", "FLOAT", "absent"},
    };
    for (const auto& c : cases) {
        grid_header header;
        header.ncols = 5;
        header.nrows = 2;
        header.nodata = c.nodata;
        const std::string text = ehdr_text(header, c.format);
        EXPECT_EQ(value_of(text, "NBITS"), c.nbits) << text;
        EXPECT_EQ(value_of(text, "PIXELTYPE"), c.pixeltype) << text;
        EXPECT_EQ(value_of(text, "NODATA"), c.shown) << text;
        EXPECT_EQ(value_of(text, "NROWS") + " " + value_of(text, "NCOLS"), "2 5") << text;
        EXPECT_EQ(value_of(text, "ULXMAP"), "absent") << text;
    }
}

// A float target named *.flt gets the float-grid form that ArcGIS, SAGA and whitebox read, in its
// fixed order; where that form cannot hold the header, and for every other target, the EHdr form.
TEST(Sidecar, FloatGridFormBesideFlt) {
    grid_header header = georeferenced("100.5", "200", "0.25");
    header.nodata = "-9999.0";
    const std::string expected =
        "NCOLS          4\nNROWS          3\nXLLCORNER      100.5\nYLLCORNER      200\n"
        "CELLSIZE       0.25\nNODATA_VALUE   -9999\nBYTEORDER      LSBFIRST\n";
    EXPECT_EQ(sidecar_text(header, FMT_FLOAT, "out/dem.flt"), expected);
    EXPECT_EQ(sidecar_text(header, FMT_FLOAT, "DEM.FLT"), expected);
    EXPECT_EQ(sidecar_text(header, FMT_SHORTINT, "dem.flt"), ehdr_text(header, FMT_SHORTINT));
    EXPECT_EQ(sidecar_text(header, FMT_FLOAT, "dem.bin"), ehdr_text(header, FMT_FLOAT));

    // Centres become corners half a cell out, exactly; cells that are not square cannot be said.
    const std::string from_centres = sidecar_text(centred("", "", "0.1"), FMT_FLOAT, "a.flt");
    EXPECT_EQ(value_of(from_centres, "XLLCORNER"), "9.95");
    EXPECT_EQ(value_of(from_centres, "YLLCORNER"), "19.95");
    EXPECT_EQ(sidecar_text(centred("2", "3"), FMT_FLOAT, "a.flt"),
              ehdr_text(centred("2", "3"), FMT_FLOAT));

    // Square cells are compared as numbers, and CELLSIZE keeps the text as written.
    for (const auto& [dx, dy] :
         {std::pair("30", "30.0"), std::pair("3e1", "30"), std::pair("0.50", ".5")}) {
        const std::string text = sidecar_text(centred(dx, dy), FMT_FLOAT, "a.flt");
        EXPECT_EQ(value_of(text, "CELLSIZE"), dx) << dx << " " << dy;
    }
}

TEST(Sidecar, PathReplacesTheExtension) {
    EXPECT_EQ(sidecar_path("dem.bin", ".hdr"), "dem.hdr");
    EXPECT_EQ(sidecar_path("dir.v2/dem", ".hdr"), "dir.v2/dem.hdr");
    EXPECT_EQ(sidecar_path("a/dem.tar.bin", ".prj"), "a/dem.tar.prj");
}

}  // namespace
