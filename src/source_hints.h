// The hint after "Unrecognized input file format:": what the source is instead, and what to do.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "source_reader.h"

// text as a POSIX shell reads it back: as it is where it holds only safe characters, else in
// single quotes.
std::string shell_quoted(std::string_view text);

// The run's own command (every argument as given) with the argument at source_at, the source,
// replaced by "-", quoted as a shell reads it back.
std::string command_from_stdin(const std::vector<std::string>& given, std::size_t source_at);

// What a source's first bytes say it is, looked at before its header is read.
enum class source_look { empty, compressed, header_begun, grass, other };
source_look look_at_source(source_reader& reader);

// What the source at path ("-" for standard input) is, when it is no Arc ascii grid: empty, gzip
// (with the command that reads it through zcat, from_stdin being the run's own command with the
// source given as "-"), a header cut short, a GRASS ASCII grid, a pipe, or raw cells without a
// sidecar; each with what to do.
std::string not_a_grid_hint(source_look look, const std::string& path,
                            const std::string& from_stdin);
