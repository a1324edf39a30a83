// The sidecar beside a raw source: the .hdr that GIS tools write in one of two forms, the EHdr
// labels (NROWS, NCOLS, NBITS, PIXELTYPE, BYTEORDER I|M, ULXMAP, ULYMAP, XDIM, YDIM, NODATA) or
// the ESRI float-grid header (NCOLS, NROWS, XLLCORNER|XLLCENTER, YLLCORNER|YLLCENTER, CELLSIZE,
// NODATA_VALUE, BYTEORDER LSBFIRST|MSBFIRST).
#pragma once

#include <string>
#include <string_view>

#include "failure.h"
#include "formats.h"
#include "header.h"

struct raw_sidecar {
    // The grid as an Arc ascii grid header gives it: the counts, and the georeferencing as text,
    // the corners computed exactly from ULXMAP and ULYMAP where the sidecar gives those.
    grid_header header;
    element_format format = FMT_UCHAR;
    std::string format_words;  // how the sidecar says the format, for messages ("NBITS 16 ...")
    bool big_endian = false;
};

// Reads sidecar text as GDAL reads it: labels in any case and order, the last of a repeated one,
// nothing past line 50 or a line over 1000 bytes, a missing NBITS as 8 (32 for PIXELTYPE FLOAT)
// and PIXELTYPE as unsigned, a float-grid header (corners or CELLSIZE, no NBITS) as float, a
// missing BYTEORDER as M, missing corners and cell sizes as GDAL's defaults, no georeferencing
// (or GDAL's defaults alone) as corner (0, 0) and cells of 1. Fails with "Cannot
// read the sidecar of a raw source:" and what is wrong, for a layout this program cannot read
// (bands, skipped bytes, padded rows, 1- to 4-bit or 64-bit integer cells) and for an ENVI header
// as well.
failure parse_sidecar(std::string_view text, const std::string& path, raw_sidecar& sidecar);

// parse_sidecar on the file at path.
failure read_sidecar(const std::string& path, raw_sidecar& sidecar);

// The header lines of an Arc ascii grid for header, LF line ends: ncols, nrows, the corners or
// centres, cellsize (or dx and dy), NODATA_value where it has one.
std::string grid_header_text(const grid_header& header);
