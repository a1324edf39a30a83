// rastmill: converts an ESRI Arc ascii grid into a headerless little-endian raw binary raster.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "failure.h"
#include "formats.h"
#include "header.h"
#include "narrowing.h"
#include "paths.h"
#include "pipeline.h"
#include "platform.h"
#include "progress.h"
#include "raw_source.h"
#include "read_hint.h"
#include "sidecar.h"
#include "source_reader.h"
#include "target.h"

#ifdef _WIN32
#include <windows.h>
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
    "Usage: rastmill [--hdr] [--round] [--nodata N] [--strict] target_format source_file "
    "target_file\n"
    "       rastmill [--like GRID] [--from FORMAT] [--hdr] target_format raw_source target_file\n"
    "       rastmill --help | -h | --version\n"
    "\n"
    "Options (anywhere before --):\n"
    "\t--hdr\t\twrite a georeferenced .hdr beside the target, and the source's .prj\n"
    "\t--like GRID\tthe source is raw elements on the layout of the Arc ascii grid GRID;\n"
    "\t\t\ttarget_format ascii writes them back as such a grid, with GRID's header\n"
    "\t--from FORMAT\tthe source is raw elements of FORMAT (char ... double)\n"
    "\t\t\tA raw source that has a sidecar (.hdr: EHdr or ESRI float-grid header)\n"
    "\t\t\tneeds neither: its layout, format and byte order come from it\n"
    "\t--round\t\tan integer target rounds each cell, a real, to the nearest integer\n"
    "\t\t\t(halves away from zero) instead of refusing decimals\n"
    "\t--nodata N\ta cell equal to the source's NODATA_value is written as N\n"
    "\t--strict\tstop at the first cell that would not keep its value in the\n"
    "\t\t\ttarget format (out of range, overflowing, equal to N) instead of wrapping\n"
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

// Opens path with a stdio mode into stream, or fails with "Cannot open file:" and the path.
failure try_open(const std::string& path, const char* mode, std::FILE*& stream) {
    // A directory opens for reading on some systems and then fails at the first read.
    std::error_code error;
    if (std::filesystem::is_directory(native_path(path), error)) return {MSG_CANNOT_OPEN, path};
    stream = open_named(path, mode);
    if (stream == nullptr) return {MSG_CANNOT_OPEN, path};
    return {};
}

// Opens path with a stdio mode, or ends the run with "Cannot open file:" and the path.
std::FILE* open_file(const std::string& path, const char* mode) {
    std::FILE* stream = nullptr;
    if (const failure f = try_open(path, mode, stream); f.failed()) fatal_error(f);
    return stream;
}

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

// Refuses, before anything is written, a run that would write into what it reads (the source, the
// source's .prj that --hdr copies, and for a raw source its template and sidecar) or whose sidecar
// would be its own target, by name or through a link. Without it "--hdr char in.asc out.hdr" would
// end with header text as the cells.
failure check_written_files(const std::string& source_path, int source_fd,
                            const std::string& target_path, bool sidecar,
                            const std::vector<std::string>& also_read = {}) {
    const file_identity source = identity_of_descriptor(source_fd);
    const file_identity target =
        target_path == "-" ? identity_of_descriptor(1) : identity_of_path(target_path);
    auto is_read = [&](const file_identity& written) {
        if (same_file(written, source)) return true;
        return std::any_of(also_read.begin(), also_read.end(), [&](const std::string& path) {
            return !path.empty() && path != "-" && same_file(written, identity_of_path(path));
        });
    };
    if (is_read(target)) return {MSG_OVERWRITE, target_path};
    if (!sidecar) return {};
    const file_identity source_prj =
        source_path == "-" ? file_identity{} : identity_of_path(sidecar_path(source_path, ".prj"));
    for (const char* extension : {".hdr", ".prj"}) {
        const std::string path = sidecar_path(target_path, extension);
        const file_identity written = identity_of_path(path);
        if (same_path(path, target_path) || same_file(written, target)) {
            return {MSG_SIDECAR_IS_TARGET, path};
        }
        // The target's .prj may be the source's own: it is left as it is then.
        if (is_read(written) || (extension[1] == 'h' && same_file(written, source_prj))) {
            return {MSG_OVERWRITE, path};
        }
    }
    return {};
}

std::uint64_t regular_file_size(const std::string& path) {
    std::error_code error;
    if (path == "-" || !std::filesystem::is_regular_file(native_path(path), error)) return 0;
    const std::uintmax_t size = std::filesystem::file_size(native_path(path), error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

struct arguments {
    bool sidecar = false;
    std::string like;  // --like GRID: the grid a raw source belongs to
    std::string from;  // --from FORMAT: the element format of a raw source
    bool raw = false;  // either was given
    bool round = false;
    bool strict = false;
    std::string nodata;  // --nodata N
    bool map_nodata = false;
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

// Where the value of --like, --from or --nodata goes, given as "--like GRID" or "--like=GRID";
// nullptr for any other argument.
std::string* option_value(std::string_view arg, arguments& args) {
    const std::string_view name = arg.substr(0, arg.find('='));
    if (name == "--like") return &args.like;
    if (name == "--from") return &args.from;
    if (name == "--nodata") return &args.nodata;
    return nullptr;
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
        } else if (arg == "--round") {
            args.round = true;
        } else if (arg == "--strict") {
            args.strict = true;
        } else if (std::string* value = option_value(arg, args); value != nullptr) {
            const std::size_t equals = arg.find('=');
            if (equals != std::string_view::npos) {
                *value = arg.substr(equals + 1);
            } else if (i + 1 < argc) {
                *value = argv[++i];
            } else {
                usage_error();
            }
            if (value == &args.nodata) {
                args.map_nodata = true;
            } else {
                args.raw = true;
            }
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
// one thread (no thread writes behind either); by default, up to one per core, started only when
// the grid gains from them.
pipeline_settings thread_settings() {
    pipeline_settings settings;
    const char* setting = std::getenv("RASTMILL_THREADS");
    if (setting != nullptr && *setting != '\0') {
        const long wanted = std::strtol(setting, nullptr, 10);
        if (wanted >= 1) {
            settings.threads = static_cast<int>(std::min(wanted, 1024L));
            return settings;
        }
    }
    settings.threads = static_cast<int>(std::max(std::thread::hardware_concurrency(), 1u));
    settings.pick_workers = true;
    return settings;
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

// Ends the run, before anything is read, where the target cannot take what is asked for.
void refuse_target(const arguments& args, element_format format, const std::string& target_path,
                   bool output_closed) {
    // A closed standard output has /dev/null behind it now: the cells would vanish into it.
    if (target_path == "-" && output_closed) fatal_error(MSG_CANNOT_OPEN, target_path);
    if (format != FMT_ASCII &&
        (target_path == "-" ? is_terminal(1) : names_terminal(target_path))) {
        fatal_error(MSG_TERMINAL_TARGET, target_path);
    }
    if (args.sidecar) refuse_unwritable_sidecar(format, target_path);
}

// Reads the source's header; a gzip file gets a hint.
failure read_source_header(source_reader& reader, grid_header& header,
                           const std::string& source_path, element_format format,
                           const std::string& target_path) {
    failure f = read_header(reader, header);
    if (f.detail == MSG_NOT_A_GRID && looks_compressed(reader)) {
        f.hint = "the source is compressed with gzip: zcat " + source_path + " | rastmill " +
                 std::string(info_of(format).name) + " - " + target_path;
    }
    if (!f.failed() && format == FMT_ASCII && header.nrows >= 1) {
        return {MSG_FATAL_COLON, MSG_UNKNOWN_FORMAT};
    }
    return f;
}

// Opens the target, after checking what it would overwrite.
failure open_target_file(const std::string& target_path, element_format format,
                         std::FILE*& target_file) {
    const bool binary = format != FMT_ASCII;
    if (target_path == "-") {
        target_file = stdout;
    } else if (failure f = try_open(target_path, "wb", target_file); f.failed()) {
        return f;
    }
    if (binary && is_terminal(file_descriptor(target_file))) {
        return {MSG_TERMINAL_TARGET, target_path};
    }
    return {};
}

// The hint after "Error reading input:": the bad token and its line, read from the source again.
void add_read_hint(failure& f, const grid_header& header, const std::string& source_path,
                   element_format format) {
    if (f.message != MSG_READ_ERROR) return;
    const std::uint64_t cells =
        static_cast<std::uint64_t>(header.nrows) * static_cast<std::uint64_t>(header.ncols);
    f.hint = bad_value_hint(source_path, f.value, cells, format);
}

// Starts the target on file and returns the threads the run moves its cells on: with more than
// one, a thread writes behind the others once the first megabytes reached the file.
pipeline_settings start_target(grid_target& target, std::FILE* file) {
    const pipeline_settings settings = thread_settings();
    open_target(target, file, TARGET_BLOCK_SIZE,
                settings.threads > 1 ? WRITE_BEHIND_AFTER : NO_WRITE_BEHIND);
    return settings;
}
// The converting part of a run, from the header to the last cell, with a progress line where a
// person watches. A failure is returned once the line is gone.
failure convert_grid(source_reader& reader, grid_header& header, grid_target& target,
                     const arguments& args, element_format format, narrowing& plan) {
    const std::string source_path = args.operands[1];
    const std::string target_path = args.operands[2];
    progress_handle progress;
    if (progress_wanted()) progress = start_progress(reader, regular_file_size(source_path));
    failure f = read_source_header(reader, header, source_path, format, target_path);
    if (!f.failed()) f = plan_nodata(header.nodata, FMT_ASCII, format, plan);
    if (!f.failed()) f = check_written_files(source_path, reader.fd, target_path, args.sidecar);
    std::FILE* target_file = nullptr;
    if (!f.failed()) f = open_target_file(target_path, format, target_file);
    if (f.failed()) return f;
    pipeline_settings settings = start_target(target, target_file);
    settings.narrow = &plan;
    f = move_rows(header.nrows, header.ncols, FMT_ASCII, reader, format, target, settings);
    progress.reset();
    add_read_hint(f, header, source_path, format);
    return f;
}

// The layout and element format of a raw source, or the run ends saying what to give.
raw_layout read_raw_layout(const arguments& args, const std::string& source_path) {
    std::optional<element_format> from;
    if (!args.from.empty()) {
        std::string name = args.from;
        from = parse_format(name.data());
        if (*from == FMT_ASCII) fatal_error(MSG_BAD_FORMAT_NAME, name);  // elements, not text
    }
    raw_layout layout;
    if (const failure f = find_raw_layout(source_path, args.like, from, layout); f.failed()) {
        fatal_error(f);
    }
    return layout;
}

// The converting part of a run from a raw source: its size checked, then the template's header
// and the cells into the target, with a progress line where a person watches.
failure convert_raw(source_reader& reader, const raw_layout& layout, grid_target& target,
                    const arguments& args, element_format format, narrowing& plan) {
    const std::string source_path = args.operands[1];
    const std::string target_path = args.operands[2];
    failure f = plan_nodata(layout.header.nodata, layout.format, format, plan);
    if (!f.failed()) f = check_raw_size(reader, source_path, layout.header, layout.format);
    if (!f.failed()) {
        f = check_written_files(source_path, reader.fd, target_path, args.sidecar,
                                {layout.template_path, layout.sidecar_path});
    }
    std::FILE* target_file = nullptr;
    if (!f.failed()) f = open_target_file(target_path, format, target_file);
    if (f.failed()) return f;
    progress_handle progress;
    if (progress_wanted()) progress = start_progress(reader, regular_file_size(source_path));
    pipeline_settings settings = start_target(target, target_file);
    const std::string& text = layout.header_text;
    if (format == FMT_ASCII)
        write_binary_row(target, static_cast<std::int32_t>(text.size()), FMT_UCHAR, text.data());
    const cell_text style = template_style(layout.header, text, layout.format);
    const grid_header& header = layout.header;
    settings.text = &style;
    settings.ends_with_grid = true;
    settings.big_endian_source = layout.big_endian;
    settings.narrow = &plan;
    f = move_rows(header.nrows, header.ncols, layout.format, reader, format, target, settings);
    progress.reset();
    if (f.message == MSG_RAW_LONGER) f.detail = source_path;
    return f;
}

int run(int argc, char** argv) {
    const bool output_closed = reserve_standard_descriptors();
    ignore_write_signals();
    fixed_block_mapping();
    binary_standard_streams();
    const arguments args = read_arguments(argc, argv);
    const element_format format = parse_format(args.operands[0]);
    const std::string source_path = args.operands[1];
    const std::string target_path = args.operands[2];
    refuse_target(args, format, target_path, output_closed);
    narrowing plan;
    if (const failure f = plan_narrowing(args.round, args.strict,
                                         args.map_nodata ? &args.nodata : nullptr, format, plan);
        f.failed()) {
        fatal_error(f);
    }

    const bool raw = args.raw || raw_by_sidecar(source_path);
    raw_layout layout;
    if (raw) layout = read_raw_layout(args, source_path);
    std::FILE* source = source_path == "-" ? stdin : open_file(source_path, "rb");
    source_reader reader;
    open_reader(reader, file_descriptor(source), !raw);
    grid_header header = layout.header;
    grid_target target;
    if (const failure f = raw ? convert_raw(reader, layout, target, args, format, plan)
                              : convert_grid(reader, header, target, args, format, plan);
        f.failed()) {
        fatal_error(f);
    }
    if (source != stdin) std::fclose(source);
    if (!close_target(target)) {
        const int width = info_of(format).width;
        const std::uint64_t cells = header.nrows < 1 || header.ncols < 1
                                        ? 0
                                        : static_cast<std::uint64_t>(header.nrows) *
                                              static_cast<std::uint64_t>(header.ncols);
        fatal_error(MSG_WRITE_ERROR, lost_value_position(target, header.ncols, width, cells));
    }
    if (args.sidecar && format != FMT_ASCII) {
        if (args.map_nodata) header.nodata = args.nodata;  // the cells hold N now
        const std::string& prj_of = raw && !args.like.empty() ? args.like : source_path;
        const std::string source_prj = prj_of == "-" ? "" : sidecar_path(prj_of, ".prj");
        if (const failure f = write_sidecars(header, format, source_prj, target_path); f.failed()) {
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
