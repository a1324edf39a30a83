// A raw source: the headerless elements a model writes, read on the layout of the Arc ascii grid
// they belong to (the template, given with --like) or of the sidecar beside them.
#pragma once

#include <optional>
#include <string>

#include "failure.h"
#include "formats.h"
#include "header.h"
#include "source_reader.h"
#include "text_rows.h"

// Everything a run needs to read a raw source as a grid.
struct raw_layout {
    grid_header header;
    std::string header_text;  // the written grid's header lines
    element_format format = FMT_FLOAT;
    bool big_endian = false;
    std::string template_path;  // --like GRID, where given
    std::string sidecar_path;   // the sidecar read beside the source, where there is one
};

// Whether source is read as raw though no option says so: a regular file that is no Arc ascii
// grid, with a sidecar beside it (its name with the extension replaced by .hdr, where GDAL looks).
bool raw_by_sidecar(const std::string& source);

// The layout of the raw source at source ("-": standard input, beside which no sidecar lies): the
// counts and header text from the template where like names one, else from the sidecar; the
// element format from from, else from the sidecar; the byte order from the sidecar, else
// little-endian; a sidecar this program cannot read is passed over where like and from are both
// given. Fails with "Give the grid ..." or "Give the element format ..." where neither
// says it, "The raw source's sidecar disagrees:" where the sidecar says otherwise than like or
// from, or as reading the template or the sidecar fails.
failure find_raw_layout(const std::string& source, const std::string& like,
                        std::optional<element_format> from, raw_layout& layout);

// Reads the header of the Arc ascii grid at path once (it may be a pipe), and in text its lines
// byte for byte, up to the line end before the first value; a last line without a line end gets
// the template's. Fails as the header of a source fails, with "Cannot open file:", or with
// "Template header longer than 16 MiB:".
failure read_template(const std::string& path, grid_header& header, std::string& text);

// How the cells of that grid are written back from elements of format: the template's line end,
// and its no-data text for cells that hold the no-data value as format stores it.
cell_text template_style(const grid_header& header, const std::string& text, element_format format);

// Refuses a regular-file source whose size is not the grid's nrows x ncols elements of format,
// before anything is written: "Source size does not match the grid:" with both sizes.
failure check_raw_size(const source_reader& source, const std::string& path,
                       const grid_header& header, element_format format);
