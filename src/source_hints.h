// The hint after "Unrecognized input file format:": what the source is instead, and what to do.
#pragma once

#include <string>
#include <string_view>

#include "source_reader.h"

// text as a POSIX shell reads it back: as it is where it holds only safe characters, else in
// single quotes.
std::string shell_quoted(std::string_view text);

// What the source at path (unread bytes in reader, "-" for standard input) is, when it is no Arc
// ascii grid: gzip (with the command that reads it through zcat, from_stdin being the run's own
// command with the source given as "-"), a GRASS ASCII grid, a pipe, or raw cells without a
// sidecar; each with what to do.
std::string not_a_grid_hint(source_reader& reader, const std::string& path,
                            const std::string& from_stdin);
