// A run's arguments as typed: the options, which may stand anywhere before "--", and the three
// operands FORMAT SOURCE TARGET; and the texts that explain them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct arguments {
    bool sidecar = false;  // --hdr
    std::string like;      // --like GRID: the grid a raw source belongs to
    std::string from;      // --from FORMAT: the element format of a raw source
    bool raw = false;      // either was given
    bool round = false;
    bool strict = false;
    std::string nodata;  // --nodata N
    bool map_nodata = false;
    bool mosaic = false;  // --mosaic: the source names tiles
    std::string overlap;  // --overlap first|last
    std::string snap;     // --snap CELLS
    bool overlap_given = false;
    bool snap_given = false;
    std::vector<std::string> operands;  // FORMAT SOURCE TARGET, when the run goes ahead
};

enum class argument_action {
    run,      // three operands: convert
    help,     // --help or -h, whatever else is given
    version,  // --version alone
    usage,    // anything else: the usage text, exit status 1
};

struct argument_reading {
    arguments args;
    argument_action action = argument_action::usage;
    std::string unknown_option;  // the option that made it usage, where one did
};

// Reads argv[1..argc) as GNU tools take options: "--like GRID" or "--like=GRID"; "-" alone is an
// operand, the standard stream; after "--" every argument is one. Extra operands are refused, so
// that "rastmill float *.asc" cannot overwrite a grid.
argument_reading read_arguments(int argc, const char* const* argv);

// What a refused command line prints, and what --help prints.
extern const char USAGE[];
extern const char HELP[];
