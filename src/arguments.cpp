#include "arguments.h"

#include <string_view>

namespace {

// Where the value of --like, --from, --nodata, --overlap or --snap goes, given as "--like GRID" or
// "--like=GRID"; nullptr for any other argument.
std::string* option_value(std::string_view arg, arguments& args) {
    const std::string_view name = arg.substr(0, arg.find('='));
    if (name == "--like") return &args.like;
    if (name == "--from") return &args.from;
    if (name == "--nodata") return &args.nodata;
    if (name == "--overlap") return &args.overlap;
    if (name == "--snap") return &args.snap;
    return nullptr;
}

// Takes the option at argv[i] (and its value, where it has one) into the reading; false for an
// option that is unknown or lacks its value.
bool take_option(int argc, const char* const* argv, int& i, argument_reading& read, bool& help,
                 bool& version) {
    arguments& args = read.args;
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
        help = true;
    } else if (arg == "--version") {
        version = true;
    } else if (arg == "--hdr") {
        args.sidecar = true;
    } else if (arg == "--round") {
        args.round = true;
    } else if (arg == "--strict") {
        args.strict = true;
    } else if (arg == "--mosaic") {
        args.mosaic = true;
    } else if (std::string* value = option_value(arg, args); value != nullptr) {
        const std::size_t equals = arg.find('=');
        if (equals != std::string_view::npos) {
            *value = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            *value = argv[++i];
        } else {
            return false;
        }
        if (value == &args.nodata) {
            args.map_nodata = true;
        } else if (value == &args.overlap) {
            args.overlap_given = true;
        } else if (value == &args.snap) {
            args.snap_given = true;
        } else {
            args.raw = true;
        }
    } else {
        read.unknown_option = arg;
        return false;
    }
    return true;
}

}  // namespace

argument_reading read_arguments(int argc, const char* const* argv) {
    argument_reading read;
    arguments& args = read.args;
    bool options_over = false;
    bool help = false;
    bool version = false;
    bool refused = false;
    for (int i = 1; i < argc && !refused; ++i) {
        const std::string_view arg = argv[i];
        if (options_over || arg.size() < 2 || arg[0] != '-') {
            args.operands.emplace_back(arg);
        } else if (arg == "--") {
            options_over = true;
        } else {
            refused = !take_option(argc, argv, i, read, help, version);
        }
    }
    if (help && !refused) {
        read.action = argument_action::help;
    } else if (refused || (version && !args.operands.empty())) {
        read.action = argument_action::usage;
    } else if (version) {
        read.action = argument_action::version;
    } else {
        read.action = args.operands.size() == 3 ? argument_action::run : argument_action::usage;
    }
    return read;
}

const char USAGE[] =
    "Usage: rastmill target_format source_file target_file\n"
    "\n"
    "This utility takes an ESRI Arc ascii grid raster and converts\n"
    "it to a binary file that is suitable as an input to the KOVAL model\n"
    "rastmill is a replacement for the Pelmar utility\n"
    "\n"
    "Options for target_format:\n"
    "\tchar, uchar, ushortint, shortint, \n"
    "\tuinteger, integer, ulonginteger, longinteger, \n"
    "\tfloat, double, ascii\n"
    "\n"
    "Common layers types and suggested target format:\n"
    "\tmask = char\n"
    "\tdem = float\n"
    "\tsoil texture = char\n"
    "\tsoil depth = float\n"
    "\tgroundwater = char\n"
    "\tveg = char\n";

// What --help prints: every form and option first, then the formats, examples and the rest.
const char HELP[] =
    "Usage: rastmill [--hdr] [--round] [--nodata N] [--strict] FORMAT GRID.asc TARGET\n"
    "       rastmill [--like GRID.asc] [--from FORMAT] [--hdr] [--round] [--nodata N] [--strict]\n"
    "                FORMAT RAW TARGET\n"
    "       rastmill --mosaic [--hdr] [--round] [--nodata N] [--strict] [--overlap first|last]\n"
    "                [--snap CELLS] FORMAT TILES TARGET\n"
    "       rastmill --help | -h | --version\n"
    "\n"
    "Converts an ESRI Arc ascii grid into headerless little-endian raw cells of FORMAT, and raw\n"
    "cells (model output) back into a grid (FORMAT ascii) or into another FORMAT.\n"
    "\n"
    "Options (anywhere before --):\n"
    "\t--hdr\t\twrite a georeferenced .hdr beside the target, and the source's .prj\n"
    "\t\t\t(the template's with --like); an ascii target gets the .prj only\n"
    "\t--like GRID\tthe source is raw cells on the layout of the Arc ascii grid GRID;\n"
    "\t\t\tFORMAT ascii writes them back as such a grid, with GRID's header\n"
    "\t--from FORMAT\tthe source is raw cells of FORMAT. A raw source with a sidecar\n"
    "\t\t\t(.hdr: EHdr or ESRI float-grid header) needs neither option\n"
    "\t--round\t\tan integer target rounds each cell to the nearest integer (halves\n"
    "\t\t\taway from zero) instead of refusing decimals\n"
    "\t--nodata N\ta cell equal to the source's no-data value is written as N\n"
    "\t--strict\tstop at the first cell that would not keep its value in FORMAT\n"
    "\t\t\t(out of range, overflowing, equal to N) instead of wrapping\n"
    "\t--mosaic\tTILES (a folder of .asc tiles, a file naming one tile a line, or\n"
    "\t\t\t- for such a list on standard input) into one grid TARGET, every\n"
    "\t\t\ttile on the first tile's cells; written whole or not at all\n"
    "\t--overlap R\twhere tiles overlap, first or last (in list order) wins; by\n"
    "\t\t\tdefault their cells must agree\n"
    "\t--snap CELLS\tplace a tile within CELLS (below 0.5) of the grid on it\n"
    "\t--help, -h\tshow this text\n"
    "\t--version\tshow the version\n"
    "\t--\t\tend of the options: a file name after it may begin with '-'\n"
    "A source of - reads standard input, a target of - writes standard output.\n"
    "\n"
    "Formats (GDAL's name, numpy's):\n"
    "\tchar (Int8, i1)\t\tuchar (Byte, u1)\n"
    "\tshortint (Int16, i2)\tushortint (UInt16, u2)\n"
    "\tinteger (Int32, i4)\tuinteger (UInt32, u4)\n"
    "\tlonginteger (Int32, i4)\tulonginteger (UInt32, u4)\n"
    "\tfloat (Float32, f4)\tdouble (Float64, f8)\n"
    "\tascii (an Arc ascii grid, AAIGrid)\n"
    "Any word that begins like a name is that name (dbl, ushort, Float); digits after it must\n"
    "give its width (float32, f4).\n"
    "\n"
    "Common layers types and suggested target format:\n"
    "\tmask = char, dem = float, soil texture = char, soil depth = float,\n"
    "\tgroundwater = char, veg = char\n"
    "\n"
    "Examples:\n"
    "\trastmill --hdr float dem.asc dem.bin\t\t\tgrid to raw cells, and dem.hdr\n"
    "\trastmill --round --nodata 0 uchar soil.asc soil.bin\treals rounded, no-data as 0\n"
    "\trastmill --like dem.asc --from float ascii out.bin out.asc\tmodel output back\n"
    "\trastmill ascii dem.bin dem_back.asc\t\t\tback, by dem.hdr beside it\n"
    "\trastmill --mosaic --hdr float tiles/ dem.bin\t\tevery tiles/*.asc into one grid\n"
    "\n"
    "Environment:\n"
    "\tRASTMILL_THREADS=N\tparse on N threads (1: one thread; default: one per core)\n"
    "\tRASTMILL_PROGRESS=0\tno progress line, even on a terminal\n"
    "\tRASTMILL_KERNELS=NAME\tparse with the kernels NAME (portable, ssse3, avx2,\n"
    "\t\t\tavx512vbmi2; --version names the default and those this CPU runs)\n"
    "\n"
    "Manual: man rastmill (doc/rastmill.1 in the sources)\n";
