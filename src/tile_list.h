// The tiles a mosaic is made of, as TILES names them: a folder's grids, a list file, or a list on
// standard input.
#pragma once

#include <string>
#include <vector>

#include "failure.h"

// The longest line a list of tiles may hold: far beyond any path a host takes.
constexpr std::size_t LONGEST_TILE_LINE = std::size_t(64) << 10;
// The longest list read, which is held whole: a million tiles take a tenth of it.
constexpr std::size_t LONGEST_TILE_LIST = std::size_t(64) << 20;

// The tile paths tiles names, in the order the mosaic takes them: for a folder, its entries whose
// names end in ".asc", ".asc.gz" or ".zip" (any case) that are not folders themselves, sorted by
// name, none from its subfolders; for a zip archive, its grids; for a list file, one path a line,
// relative to the list's own folder (the current folder for a list through /dev/stdin or
// /dev/fd/N), blank lines and lines beginning with '#' skipped, white space around a path and a
// byte-order mark dropped; for "-", such a list on standard input, relative to the current folder.
// Fails with "Cannot open file:" where tiles cannot be read, "Not a list of tiles:" for a list
// holding a NUL byte or a line longer than LONGEST_TILE_LINE, a list longer than LONGEST_TILE_LIST,
// or one that is a grid, and "No tiles in:" where it names none. A zip archive among the tiles
// stands for its members that end in
// ".asc", in name order, each named "ARCHIVE/MEMBER".
failure read_tile_list(const std::string& tiles, std::vector<std::string>& paths);

// The tiles of a list read from text (the list's bytes), relative to folder (empty: as written);
// source names the list in messages.
failure tiles_of_list_text(const std::string& text, const std::string& folder,
                           const std::string& source, std::vector<std::string>& paths);
