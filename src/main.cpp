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

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#endif

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

// Makes failed writes show as failed writes, not as a silent death by signal: a target pipe
// whose reader went away, a file-size limit (ulimit -f) reached.
void ignore_write_signals() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

// Opens /dev/null on the standard descriptors the caller closed, so that no file opened later
// takes one of their numbers and receives what is meant for standard error.
void reserve_standard_descriptors() {
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is fd itself, as the ones below it are open.
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) std::_Exit(1);
    }
#endif
}

int run(int argc, char** argv) {
    reserve_standard_descriptors();
    ignore_write_signals();
    // Extra operands are refused: "rastmill float *.asc" would otherwise overwrite a grid.
    if (argc != 4) {
        std::fputs(USAGE, stderr);
        return 1;
    }
    const element_format target_format = parse_format(argv[1]);
    const std::string source_path = argv[2];
    const std::string target_path = argv[3];

    std::FILE* source = open_file(source_path, "rb");
    source_reader reader;
    open_reader(reader, file_descriptor(source), true);
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
