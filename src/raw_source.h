// A raw source: the headerless elements a model writes, read on the layout of the Arc ascii grid
// they belong to (the template, given with --like).
#pragma once

#include <string>

#include "failure.h"
#include "formats.h"
#include "header.h"
#include "source_reader.h"
#include "target.h"

// Reads the header of the Arc ascii grid at path, and in text its lines byte for byte, up to the
// line end before the first value. Fails as the header of a source fails, or with "Cannot open
// file:".
failure read_template(const std::string& path, grid_header& header, std::string& text);

// How the cells of that grid are written back from elements of format: the template's line end,
// and its no-data text for cells that hold the no-data value as format stores it.
cell_text template_style(const grid_header& header, const std::string& text, element_format format);

// Refuses a regular-file source whose size is not the grid's nrows x ncols elements of format,
// before anything is written: "Source size does not match the grid:" with both sizes.
failure check_raw_size(const source_reader& source, const std::string& path,
                       const grid_header& header, element_format format);
