// rastmill: converts an ESRI Arc ascii grid into a headerless little-endian raw binary raster.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "failure.h"
#include "formats.h"
#include "grid.h"
#include "header.h"
#include "progress.h"
#include "sidecar.h"
#include "source_reader.h"
#include "target.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// Whether writing target (a path, or standard output for "-") would write into the source, open as
// source_fd: the same regular file through any link or redirection. Opening it for writing would
// empty the source before a single value is read. Devices such as /dev/null are not regular files.
bool writes_into_source(int source_fd, const std::string& target) {
#ifdef _WIN32
    const auto identity = [](HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
        return file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info) &&
               GetFileType(file) == FILE_TYPE_DISK;
    };
    BY_HANDLE_FILE_INFORMATION read_from{};
    BY_HANDLE_FILE_INFORMATION write_to{};
    if (!identity(reinterpret_cast<HANDLE>(_get_osfhandle(source_fd)), read_from)) return false;
    bool found = false;
    if (target == "-") {
        found = identity(reinterpret_cast<HANDLE>(_get_osfhandle(1)), write_to);
    } else {
        const HANDLE file =
            CreateFileA(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        found = identity(file, write_to);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
    return found && write_to.dwVolumeSerialNumber == read_from.dwVolumeSerialNumber &&
           write_to.nFileIndexHigh == read_from.nFileIndexHigh &&
           write_to.nFileIndexLow == read_from.nFileIndexLow &&
           !(write_to.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat read_from {};
    struct stat write_to {};
    if (fstat(source_fd, &read_from) != 0) return false;
    const int found = target == "-" ? fstat(1, &write_to) : stat(target.c_str(), &write_to);
    return found == 0 && S_ISREG(write_to.st_mode) && write_to.st_dev == read_from.st_dev &&
           write_to.st_ino == read_from.st_ino;
#endif
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

bool is_terminal(int fd) {
#ifdef _WIN32
    return _isatty(fd) != 0;
#else
    return isatty(fd) != 0;
#endif
}

// The bytes of standard input and output pass unchanged on every host.
void binary_standard_streams() {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

std::uint64_t regular_file_size(const std::string& path) {
    std::error_code error;
    if (path == "-" || !std::filesystem::is_regular_file(path, error)) return 0;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

struct arguments {
    bool sidecar = false;
    int first_operand = 1;
};

// Options come before the operands; a format name never begins with "-". Ends the run for --help,
// --version, an unknown option or other than three operands.
arguments read_arguments(int argc, char** argv) {
    arguments args;
    for (; args.first_operand < argc; ++args.first_operand) {
        const std::string_view option = argv[args.first_operand];
        if (option.size() < 2 || option[0] != '-') break;
        if (option == "--") {
            ++args.first_operand;
            break;
        }
        if (option == "--help" || option == "-h") {
            std::fputs(USAGE, stdout);
            std::exit(std::fflush(stdout) == 0 ? 0 : 1);
        }
        if (option == "--version") {
            std::fputs("rastmill " RASTMILL_VERSION "\n", stdout);
            std::exit(std::fflush(stdout) == 0 ? 0 : 1);
        }
        if (option != "--hdr") break;
        args.sidecar = true;
    }
    // Extra operands are refused: "rastmill float *.asc" would otherwise overwrite a grid.
    if (argc - args.first_operand != 3 || argv[args.first_operand][0] == '-') {
        std::fputs(USAGE, stderr);
        std::exit(1);
    }
    return args;
}

// The threads that parse a large grid: RASTMILL_THREADS=N sets them, 1 keeps the whole run on
// one thread (no thread writes behind either); by default, one per core.
int thread_count() {
    const char* setting = std::getenv("RASTMILL_THREADS");
    if (setting != nullptr && *setting != '\0') {
        const long wanted = std::strtol(setting, nullptr, 10);
        if (wanted >= 1) return static_cast<int>(std::min(wanted, 1024L));
    }
    return static_cast<int>(std::max(std::thread::hardware_concurrency(), 1u));
}

progress_line progress;

void erase_progress() {
    stop_progress(progress);
}

int run(int argc, char** argv) {
    reserve_standard_descriptors();
    ignore_write_signals();
    binary_standard_streams();
    const arguments args = read_arguments(argc, argv);
    const element_format target_format = parse_format(argv[args.first_operand]);
    const std::string source_path = argv[args.first_operand + 1];
    const std::string target_path = argv[args.first_operand + 2];
    const bool binary = target_format != FMT_ASCII;
    if (target_path == "-" && binary && is_terminal(1)) {
        fatal_error(MSG_TERMINAL_TARGET, target_path);
    }
    if (target_path == "-" && args.sidecar) fatal_error(MSG_NO_SIDECAR, target_path);

    std::FILE* source = source_path == "-" ? stdin : open_file(source_path, "rb");
    source_reader reader;
    open_reader(reader, file_descriptor(source), true);
    if (progress_wanted()) {
        set_before_fatal_error(erase_progress);
        start_progress(progress, reader, regular_file_size(source_path));
    }
    grid_header header;
    if (const failure f = read_header(reader, header); f.failed()) fatal_error(f);
    if (!binary && header.nrows >= 1) fatal_error(MSG_FATAL_COLON, MSG_UNKNOWN_FORMAT);
    if (writes_into_source(reader.fd, target_path)) {
        fatal_error(MSG_OVERWRITE, target_path);
    }
    const std::string hdr = args.sidecar ? sidecar_path(target_path, ".hdr") : "";
    if (args.sidecar && writes_into_source(reader.fd, hdr)) {
        fatal_error(MSG_OVERWRITE, hdr);
    }

    std::FILE* target_file =
        target_path == "-" ? stdout : open_file(target_path, binary ? "wb" : "w");
    if (binary && is_terminal(file_descriptor(target_file))) {
        fatal_error(MSG_TERMINAL_TARGET, target_path);
    }
    grid_target target;
    const int threads = thread_count();
    open_target(target, target_file, TARGET_BLOCK_SIZE, threads > 1);
    transfer_grid(header.nrows, header.ncols, FMT_ASCII, reader, target_format, target, threads);
    stop_progress(progress);
    if (source != stdin) std::fclose(source);
    if (!close_target(target)) {
        const int width = binary ? element_size[target_format] : 0;
        fatal_error(MSG_WRITE_ERROR, lost_value_position(target, header.ncols, width));
    }
    if (args.sidecar && binary) {
        if (const failure f = write_sidecars(header, target_format, source_path, target_path);
            f.failed()) {
            fatal_error(f);
        }
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
