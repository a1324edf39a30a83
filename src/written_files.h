// The files a run writes, checked against the files it reads and the files beside its source
// that it must leave alone, before the first byte is written.
#pragma once

#include <string>
#include <vector>

#include "failure.h"
#include "formats.h"

// What a run writes and what it must keep.
struct written_files {
    std::string source;  // "-" for standard input
    int source_fd = -1;
    std::string target;  // "-" for standard output
    bool binary_target = true;
    bool sidecar = false;       // --hdr: the target's .hdr (for a binary target) and .prj
    std::string prj_from;       // the .prj copied beside the target; empty for none
    std::string template_path;  // --like GRID, where given
    // The raw source's sidecars: read, or passed over but the source's all the same.
    std::vector<std::string> source_sidecars;
};

// Every sidecar GIS tools keep beside a raw source, read by this run or passed over: its EHdr or
// ENVI .hdr under both names GDAL looks for, and its .prj.
std::vector<std::string> raw_source_sidecars(const std::string& source);

// Refuses a run that would write into the source, its .prj, its sidecars, the template or the
// .prj copied (by name, or through a link), or whose sidecar would be its own target: "File already
// exists, and should not be overwritten:" with a hint saying what the file is, or "Cannot write a
// sidecar over its own target:". A target .prj that is the one copied is left as it is, not
// refused.
failure check_written_files(const written_files& run);

// Refuses a binary target that exists and begins as an Arc ascii grid does, or is compressed with
// gzip (operands swapped, a glob that gave two grids), unless it is the source ("-": standard
// input), which check_written_files names.
failure refuse_grid_target(const std::string& target, const std::string& source);

// Whether the target's folder is a device's (/dev/stdout, /dev/fd/N, /proc/self/fd/N), beside
// which no sidecar can be written.
bool beside_devices(const std::string& target);

// What the target of a run is asked to be, checked before anything is read.
struct target_asked {
    std::string target;  // "-" for standard output
    std::string source;  // "-" for standard input
    element_format format = FMT_FLOAT;
    bool sidecar = false;        // --hdr
    bool output_closed = false;  // standard output was closed when the run began
};

// Refuses a target that cannot take what is asked: a closed standard output, binary cells onto a
// terminal, --hdr where GIS tools could not read the sidecar beside the target (a format they do
// not take; standard output, a device, a FIFO), or a binary target that is an Arc ascii grid.
failure refuse_target(const target_asked& asked);

// The .prj that --hdr copies beside the target: the template's for a raw source given --like,
// else the source's own; empty for standard input.
std::string prj_copied(const std::string& source, const std::string& like, bool raw);
