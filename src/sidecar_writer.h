// The georeferenced sidecar of a target: an ESRI .hdr (the EHdr labelled format) that GDAL and
// other GIS tools read beside a raw raster, and the source's .prj copied beside it.
#pragma once

#include <optional>
#include <string>

#include "failure.h"
#include "formats.h"
#include "header.h"
#include "paths.h"

// The .hdr text for a target of format (a binary one) holding the grid of header, in the EHdr
// labelled form: size, layout, pixel type, and where the header gives them the centre of the
// upper-left cell (computed in exact decimal arithmetic from the values as written), the cell size
// and the no-data value as the target stores it (-9999 as char is -15). Lines the header cannot
// give are left out.
std::string ehdr_text(const grid_header& header, element_format format);

// The .hdr text for a float target in the ESRI float-grid form that ArcGIS, SAGA and whitebox
// need beside a .flt, in its fixed order: NCOLS, NROWS, XLLCORNER, YLLCORNER, CELLSIZE,
// NODATA_VALUE, BYTEORDER LSBFIRST. Nothing for a header without square cells or corners.
std::optional<std::string> float_grid_text(const grid_header& header);

// The .hdr text beside target: the float-grid form for a float target named *.flt (any case) whose
// header gives it, the EHdr form otherwise. GDAL reads both.
std::string sidecar_text(const grid_header& header, element_format format,
                         const std::string& target);

// Whether GIS tools read a sidecar for format: GDAL's EHdr reader refuses 64-bit elements.
bool sidecar_supported(element_format format);

// Copies source_prj (empty for none) beside target, or removes a .prj beside target that no longer
// belongs to it; a .prj that is source_prj is left as it is. Fails with "Error writing output:"
// and the path that could not be written or removed.
failure write_prj(const std::string& source_prj, const std::string& target);

// Writes the .hdr beside target and copies source_prj (the source's .prj; empty for none) beside
// target, or removes a .prj beside target that no longer belongs to it. Fails with "Error writing
// output:" and the path that could not be written or removed.
failure write_sidecars(const grid_header& header, element_format format,
                       const std::string& source_prj, const std::string& target);
