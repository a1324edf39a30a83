// rastmill: converts an ESRI Arc ascii grid into a headerless little-endian raw binary raster.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "failure.h"
#include "formats.h"
#include "grid.h"
#include "header.h"
#include "source_reader.h"
#include "target.h"

namespace {

constexpr const char USAGE[] =
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

// Opens path with a stdio mode, or ends the run with "Cannot open file:" and the path.
std::FILE* open_file(const std::string& path, const char* mode) {
    // A directory opens for reading on some systems and then fails at the first read.
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) fatal_error(MSG_CANNOT_OPEN, path);
    std::FILE* stream = std::fopen(path.c_str(), mode);
    if (stream == nullptr) fatal_error(MSG_CANNOT_OPEN, path);
    return stream;
}

// Whether the target is the source itself, through any link. Opening it for writing would empty
// the source before a single value is read. Devices such as /dev/null are not regular files.
bool target_is_source(const std::string& source, const std::string& target) {
    std::error_code error;
    const bool same = std::filesystem::equivalent(source, target, error);
    return !error && same && std::filesystem::is_regular_file(target, error);
}

int run(int argc, char** argv) {
#ifdef SIGPIPE
    // A target pipe whose reader went away is a failed write with its one-line message, not a
    // silent death by signal.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (argc < 4) {
        std::fputs(USAGE, stderr);
        return 1;
    }
    const element_format target_format = parse_format(argv[1]);
    const std::string source_path = argv[2];
    const std::string target_path = argv[3];

    std::FILE* source = open_file(source_path, "rb");
    source_reader reader;
    open_reader(reader, source, true);
    grid_header header;
    if (const failure f = read_header(reader, header); f.failed()) fatal_error(f);
    if (target_format == FMT_ASCII && header.nrows >= 1) {
        fatal_error(MSG_FATAL_COLON, MSG_UNKNOWN_FORMAT);
    }
    if (target_is_source(source_path, target_path)) fatal_error(MSG_OVERWRITE, target_path);

    grid_target target;
    open_target(target, open_file(target_path, target_format == FMT_ASCII ? "w" : "wb"));
    transfer_grid(header.nrows, header.ncols, FMT_ASCII, reader, target_format, target);
    std::fclose(source);
    if (!close_target(target)) {
        const int width = target_format == FMT_ASCII ? 0 : element_size[target_format];
        fatal_error(MSG_WRITE_ERROR, lost_value_position(target, header.ncols, width));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        // The I/O blocks and path copies are the only other allocations; running out there is
        // the same failure as running out for a row.
        fatal_error(MSG_NO_MEMORY, "");
    }
}
