// The hint after "Unrecognized input file format:": what the source is instead, and what to do.
#pragma once

#include <string>

#include "source_reader.h"

// What a source's first bytes say it is, looked at before its header is read.
enum class source_look { empty, header_begun, grass, other };
source_look look_at_source(source_reader& reader);

// What the source at path ("-" for standard input) is, when it is no Arc ascii grid: empty, a
// header cut short, a GRASS ASCII grid, a pipe, or raw cells without a sidecar; each with what
// to do.
std::string not_a_grid_hint(source_look look, const std::string& path);
