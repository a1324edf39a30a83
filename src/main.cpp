// rastmill: converts an ESRI Arc ascii grid into a headerless little-endian raw binary raster.
#include <algorithm>
#include <cctype>
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
#include <utility>
#include <vector>

#include "failure.h"
#include "formats.h"
#include "header.h"
#include "paths.h"
#include "pipeline.h"
#include "progress.h"
#include "read_hint.h"
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

constexpr std::uint64_t WRITE_BEHIND_AFTER = std::uint64_t(8) << 20;

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

// What --help adds after the usage text.
constexpr const char HELP_MORE[] =
    "\n"
    "Usage: rastmill [--hdr] target_format source_file target_file\n"
    "       rastmill --help | -h | --version\n"
    "\n"
    "Options (anywhere before --):\n"
    "\t--hdr\t\twrite a georeferenced .hdr beside the target, and the source's .prj\n"
    "\t--help, -h\tshow this text\n"
    "\t--version\tshow the version\n"
    "\t--\t\tend of the options: a file name after it may begin with '-'\n"
    "\n"
    "A source_file of - reads standard input, a target_file of - writes standard output.\n"
    "\n"
    "Environment:\n"
    "\tRASTMILL_THREADS=N\tparse on N threads (1: one thread; default: one per core)\n"
    "\tRASTMILL_PROGRESS=0\tno progress line, even on a terminal\n"
    "\n"
    "Manual: man rastmill (doc/rastmill.1 in the sources)\n";

// Opens path with a stdio mode, or ends the run with "Cannot open file:" and the path.
std::FILE* open_file(const std::string& path, const char* mode) {
    // A directory opens for reading on some systems and then fails at the first read.
    std::error_code error;
    if (std::filesystem::is_directory(native_path(path), error)) fatal_error(MSG_CANNOT_OPEN, path);
    std::FILE* stream = open_named(path, mode);
    if (stream == nullptr) fatal_error(MSG_CANNOT_OPEN, path);
    return stream;
}

// Which regular file a descriptor or path is: equal identities are one file through any link or
// redirection. Devices such as /dev/null, folders and missing paths have none.
struct file_identity {
    bool known = false;
    std::uint64_t device = 0;
    std::uint64_t index = 0;
};

bool same_file(const file_identity& a, const file_identity& b) {
    return a.known && b.known && a.device == b.device && a.index == b.index;
}

#ifdef _WIN32
file_identity identity_of_handle(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info) ||
        GetFileType(file) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {};
    }
    return {true, info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

file_identity identity_of_descriptor(int fd) {
    return identity_of_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

file_identity identity_of_path(const std::string& path) {
    const HANDLE file = CreateFileW(native_path(path).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const file_identity identity = identity_of_handle(file);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return identity;
}
#else
file_identity identity_of_status(const struct stat& status) {
    if (!S_ISREG(status.st_mode)) return {};
    return {true, static_cast<std::uint64_t>(status.st_dev),
            static_cast<std::uint64_t>(status.st_ino)};
}

file_identity identity_of_descriptor(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 ? identity_of_status(status) : file_identity{};
}

file_identity identity_of_path(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? identity_of_status(status) : file_identity{};
}
#endif

// Whether two paths are spelled as one (Windows folds letter case), whether or not they exist.
bool same_path(const std::string& a, const std::string& b) {
    std::string x = held_name(native_path(a).lexically_normal());
    std::string y = held_name(native_path(b).lexically_normal());
#ifdef _WIN32
    std::transform(x.begin(), x.end(), x.begin(), [](unsigned char c) { return std::tolower(c); });
    std::transform(y.begin(), y.end(), y.begin(), [](unsigned char c) { return std::tolower(c); });
#endif
    return x == y;
}

// Refuses, before anything is written, a run that would write into what it reads (the source, and
// the source's .prj that --hdr copies) or whose sidecar would be its own target, by name or
// through a link. Without it "--hdr char in.asc out.hdr" would end with header text as the cells.
void check_written_files(const std::string& source_path, int source_fd,
                         const std::string& target_path, bool sidecar) {
    const file_identity source = identity_of_descriptor(source_fd);
    const file_identity target =
        target_path == "-" ? identity_of_descriptor(1) : identity_of_path(target_path);
    if (same_file(target, source)) fatal_error(MSG_OVERWRITE, target_path);
    if (!sidecar) return;
    const file_identity source_prj =
        source_path == "-" ? file_identity{} : identity_of_path(sidecar_path(source_path, ".prj"));
    for (const char* extension : {".hdr", ".prj"}) {
        const std::string path = sidecar_path(target_path, extension);
        const file_identity written = identity_of_path(path);
        if (same_path(path, target_path) || same_file(written, target)) {
            fatal_error(MSG_SIDECAR_IS_TARGET, path);
        }
        // The target's .prj may be the source's own: it is left as it is then.
        if (same_file(written, source) || (extension[1] == 'h' && same_file(written, source_prj))) {
            fatal_error(MSG_OVERWRITE, path);
        }
    }
}

// Whether path names an existing terminal, found before anything is read or written.
bool names_terminal(const std::string& path) {
#ifdef _WIN32
    (void)path;  // told once the target is open
    return false;
#else
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool terminal = isatty(fd) != 0;
    close(fd);
    return terminal;
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
// takes one of their numbers and receives what is meant for standard error. Returns whether
// standard output was one of them: it still may not serve as the target.
bool reserve_standard_descriptors() {
    bool output_closed = false;
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is fd itself, as the ones below it are open.
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) std::_Exit(1);
        if (fd == 1) output_closed = true;
    }
#endif
    return output_closed;
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
    if (path == "-" || !std::filesystem::is_regular_file(native_path(path), error)) return 0;
    const std::uintmax_t size = std::filesystem::file_size(native_path(path), error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

struct arguments {
    bool sidecar = false;
    bool help = false;
    bool version = false;
    std::vector<char*> operands;  // parse_format lower-cases the format name in place
};

[[noreturn]] void usage_error() {
    std::fputs(USAGE, stderr);
    std::exit(1);
}

[[noreturn]] void print_and_exit(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

// Options may stand anywhere before "--", as GNU tools take them; "-" alone is an operand, the
// standard stream. Ends the run for --help, --version, an unknown option or other than three
// operands.
arguments read_arguments(int argc, char** argv) {
    arguments args;
    bool options_over = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options_over || arg.size() < 2 || arg[0] != '-') {
            args.operands.push_back(argv[i]);
        } else if (arg == "--") {
            options_over = true;
        } else if (arg == "--help" || arg == "-h") {
            args.help = true;
        } else if (arg == "--version") {
            args.version = true;
        } else if (arg == "--hdr") {
            args.sidecar = true;
        } else {
            const std::string line = "rastmill: unknown option '" + std::string(arg) + "'\n";
            std::fputs(line.c_str(), stderr);
            usage_error();
        }
    }
    if (args.help) print_and_exit(std::string(USAGE) + HELP_MORE);
    if (args.version && !args.operands.empty()) usage_error();
    if (args.version) print_and_exit("rastmill " RASTMILL_VERSION "\n");
    // Extra operands are refused: "rastmill float *.asc" would otherwise overwrite a grid.
    if (args.operands.size() != 3) usage_error();
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

// Ends the run, before anything is read, where --hdr cannot give a sidecar GIS tools read beside
// the target: a format they do not take, a target that is no regular file (standard output, a
// device such as /dev/stdout, a FIFO), beside which the sidecar would land in /dev or nowhere.
void refuse_unwritable_sidecar(element_format format, const std::string& target) {
    if (!sidecar_supported(format)) {
        fatal_error(MSG_SIDECAR_FORMAT, std::string(info_of(format).name));
    }
    if (target == "-") fatal_error(MSG_NO_SIDECAR, target);
    std::error_code error;
    const auto status = std::filesystem::status(native_path(target), error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        fatal_error(MSG_SIDECAR_NOT_FILE, target);
    }
}

// Whether the source begins as a gzip file does, which a user may have forgotten to unpack.
bool looks_compressed(source_reader& reader) {
    return ensure_bytes(reader, 2) >= 2 && reader.pos[0] == '\x1f' && reader.pos[1] == '\x8b';
}

int run(int argc, char** argv) {
    const bool output_closed = reserve_standard_descriptors();
    ignore_write_signals();
    binary_standard_streams();
    const arguments args = read_arguments(argc, argv);
    const element_format target_format = parse_format(args.operands[0]);
    const std::string source_path = args.operands[1];
    const std::string target_path = args.operands[2];
    const bool binary = target_format != FMT_ASCII;
    // A closed standard output has /dev/null behind it now: the cells would vanish into it.
    if (target_path == "-" && output_closed) fatal_error(MSG_CANNOT_OPEN, target_path);
    if (binary && (target_path == "-" ? is_terminal(1) : names_terminal(target_path))) {
        fatal_error(MSG_TERMINAL_TARGET, target_path);
    }
    if (args.sidecar) refuse_unwritable_sidecar(target_format, target_path);

    std::FILE* source = source_path == "-" ? stdin : open_file(source_path, "rb");
    source_reader reader;
    open_reader(reader, file_descriptor(source), true);
    if (progress_wanted()) {
        set_before_fatal_error(erase_progress);
        start_progress(progress, reader, regular_file_size(source_path));
    }
    grid_header header;
    if (failure f = read_header(reader, header); f.failed()) {
        if (f.detail == MSG_NOT_A_GRID && looks_compressed(reader)) {
            f.hint = "the source is compressed with gzip: zcat " + source_path + " | rastmill " +
                     std::string(info_of(target_format).name) + " - " + target_path;
        }
        fatal_error(f);
    }
    if (!binary && header.nrows >= 1) fatal_error(MSG_FATAL_COLON, MSG_UNKNOWN_FORMAT);
    check_written_files(source_path, reader.fd, target_path, args.sidecar);

    std::FILE* target_file =
        target_path == "-" ? stdout : open_file(target_path, binary ? "wb" : "w");
    if (binary && is_terminal(file_descriptor(target_file))) {
        fatal_error(MSG_TERMINAL_TARGET, target_path);
    }
    grid_target target;
    const int threads = thread_count();
    // One thread writes behind the others once the first megabytes reached the file.
    open_target(target, target_file, TARGET_BLOCK_SIZE,
                threads > 1 ? WRITE_BEHIND_AFTER : NO_WRITE_BEHIND);
    if (failure f = move_rows(header.nrows, header.ncols, FMT_ASCII, reader, target_format, target,
                              {threads, 0});
        f.failed()) {
        if (f.message == MSG_READ_ERROR)
            f.hint = bad_value_hint(
                source_path, f.value,
                static_cast<std::uint64_t>(header.nrows) * static_cast<std::uint64_t>(header.ncols),
                target_format);
        fatal_error(f);
    }
    stop_progress(progress);
    if (source != stdin) std::fclose(source);
    if (!close_target(target)) {
        const int width = info_of(target_format).width;
        fatal_error(MSG_WRITE_ERROR, lost_value_position(target, header.ncols, width));
    }
    if (args.sidecar && binary) {
        const std::string source_prj = source_path == "-" ? "" : sidecar_path(source_path, ".prj");
        if (const failure f = write_sidecars(header, target_format, source_prj, target_path);
            f.failed()) {
            fatal_error(f);
        }
    }
    return 0;
}

int guarded_run(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        // The I/O blocks and path copies are the only other allocations; running out there is
        // the same failure as running out for a row.
        fatal_error(MSG_NO_MEMORY, "");
    }
}

}  // namespace

#ifdef _WIN32
// The arguments as UTF-8, whatever the ANSI code page: names such as Höhe_日本.asc reach the files.
int wmain(int argc, wchar_t** wide) {
    std::vector<std::string> held;
    for (int i = 0; i < argc; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), size, nullptr, nullptr);
        text.resize(text.size() - 1);
        held.push_back(std::move(text));
    }
    std::vector<char*> argv;
    for (std::string& text : held)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    return guarded_run(argc, argv.data());
}
#else
int main(int argc, char** argv) {
    return guarded_run(argc, argv);
}
#endif
