// The hint after "Unrecognized input file format:": what the source is instead, and what to do.
#pragma once

#include <string>
#include <string_view>

#include "source_reader.h"

// text as a POSIX shell reads it back: as it is where it holds only safe characters, else in
// single quotes.
std::string shell_quoted(std::string_view text);

// What a source's first bytes say it is, looked at before its header is read.
enum class source_look { empty, compressed, header_begun, grass, other };
source_look look_at_source(source_reader& reader);

// What the source at path ("-" for standard input) is, when it is no Arc ascii grid: empty, gzip
// (with the command that reads it through zcat, from_stdin being the run's own command with the
// source given as "-"), a header cut short, a GRASS ASCII grid, a pipe, or raw cells without a
// sidecar; each with what to do.
std::string not_a_grid_hint(source_look look, const std::string& path,
                            const std::string& from_stdin);
