// rastmill: converts an ESRI Arc ascii grid into a headerless little-endian raw binary raster.
#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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
#include "source_hints.h"
#include "source_reader.h"
#include "target.h"
#include "text_span.h"
#include "written_files.h"

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

// What --help prints: every form and option first, then the formats, examples and the rest.
constexpr const char HELP[] =
    "Usage: rastmill [--hdr] [--round] [--nodata N] [--strict] FORMAT GRID.asc TARGET\n"
    "       rastmill [--like GRID.asc] [--from FORMAT] [--hdr] [--round] [--nodata N] [--strict]\n"
    "                FORMAT RAW TARGET\n"
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
    if (std::filesystem::is_directory(native_path(path), error)) {
        return {MSG_CANNOT_OPEN, path, "it is a folder"};
    }
    errno = 0;
    stream = open_named(path, mode);
    if (stream == nullptr) {
        return {MSG_CANNOT_OPEN, path, errno != 0 ? std::strerror(errno) : ""};
    }
    return {};
}

// Opens path with a stdio mode, or ends the run with "Cannot open file:" and the path.
std::FILE* open_file(const std::string& path, const char* mode) {
    std::FILE* stream = nullptr;
    if (const failure f = try_open(path, mode, stream); f.failed()) fatal_error(f);
    return stream;
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
    std::vector<char*> operands;     // parse_format lower-cases the format name in place
    std::vector<std::string> given;  // every argument as typed, for the commands hints show
    std::size_t source_at = 0;       // the source operand's place among them
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
        args.given.emplace_back(arg);
        if (options_over || arg.size() < 2 || arg[0] != '-') {
            if (args.operands.size() == 1) args.source_at = args.given.size() - 1;
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
                args.given.emplace_back(*value);
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
    if (args.help) print_and_exit(HELP);
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
    return threads_from_setting(std::getenv("RASTMILL_THREADS"),
                                std::thread::hardware_concurrency());
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
    // /dev/stdout onto a file: the sidecar would land in /dev.
    if (beside_devices(target)) fatal_error(MSG_NO_SIDECAR, target);
}

// The run's own command with the source read from standard input, as a hint shows it.
std::string command_from_stdin(const arguments& args) {
    std::string command = "rastmill";
    for (std::size_t i = 0; i < args.given.size(); ++i)
        command.append(" ").append(shell_quoted(i == args.source_at ? "-" : args.given[i]));
    return command;
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
    if (format != FMT_ASCII) {
        if (const failure f = refuse_grid_target(target_path, args.operands[1]); f.failed()) {
            fatal_error(f);
        }
    }
}

// Reads the source's header; a file that is no grid gets a hint saying what it is instead.
failure read_source_header(source_reader& reader, grid_header& header, const arguments& args,
                           element_format format) {
    const std::string source_path = args.operands[1];
    const source_look look = look_at_source(reader);
    failure f = read_header(reader, header);
    if (f.detail == MSG_NOT_A_GRID) {
        f.hint = not_a_grid_hint(look, source_path, command_from_stdin(args));
    }
    if (!f.failed() && format == FMT_ASCII && header.nrows >= 1) {
        return {MSG_GRID_TO_ASCII, source_path};
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

// The .prj that --hdr copies beside the target: the template's for a raw source given --like,
// else the source's own; empty for standard input.
std::string prj_copied(const arguments& args, bool raw) {
    const std::string& of = raw && !args.like.empty() ? args.like : args.operands[1];
    return of == "-" ? "" : sidecar_path(of, ".prj");
}

std::string nodata_hint(const std::string& nodata, element_format format) {
    return "the cell is the grid's no-data value " + nodata + ", which " +
           std::string(info_of(format).name) +
           " does not hold: add --nodata N to write no-data cells as N";
}

// Whether element number value of the raw source at path holds the no-data value of its layout,
// read again from the file.
bool element_is_nodata(const std::string& path, std::uint64_t value, const raw_layout& layout) {
    const std::size_t width = width_of(layout.format);
    unsigned char nodata[8];
    if (path == "-" || layout.header.nodata.empty() ||
        !parse_one_value(layout.header.nodata, layout.format, nodata)) {
        return false;
    }
    if (layout.big_endian != (std::endian::native == std::endian::big))
        std::reverse(nodata, nodata + width);
    std::ifstream file(native_path(path), std::ios::binary);
    char cell[8];
    file.seekg(static_cast<std::streamoff>(value * width));
    return file.read(cell, static_cast<std::streamsize>(width)) &&
           std::memcmp(cell, nodata, width) == 0;
}

// The hint after "Error reading input:": the bad token and its line, read from the source again;
// after --strict stopped at a cell that is the grid's no-data value, what to give.
void add_read_hint(failure& f, const grid_header& header, const arguments& args,
                   element_format format) {
    const std::string source_path = args.operands[1];
    if (f.message == MSG_VALUE_CHANGES && args.strict && !args.map_nodata &&
        !header.nodata.empty()) {
        const std::optional<std::string> token = token_at(source_path, f.value);
        double cell = 0;
        double nodata = 0;
        if (token && parse_one_value(*token, FMT_DOUBLE, &cell) &&
            parse_one_value(header.nodata, FMT_DOUBLE, &nodata) && cell == nodata) {
            f.hint = nodata_hint(header.nodata, format);
        }
    }
    if (f.message != MSG_READ_ERROR) return;
    const std::uint64_t cells =
        static_cast<std::uint64_t>(header.nrows) * static_cast<std::uint64_t>(header.ncols);
    f.hint = bad_value_hint(source_path, f.value, cells, format, args.round);
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
    failure f = read_source_header(reader, header, args, format);
    if (!f.failed()) f = plan_nodata(header.nodata, FMT_ASCII, format, plan);
    if (!f.failed()) {
        f = check_written_files({source_path,
                                 reader.fd,
                                 target_path,
                                 format != FMT_ASCII,
                                 args.sidecar,
                                 prj_copied(args, false),
                                 "",
                                 {}});
    }
    std::FILE* target_file = nullptr;
    if (!f.failed()) f = open_target_file(target_path, format, target_file);
    if (f.failed()) return f;
    pipeline_settings settings = start_target(target, target_file);
    settings.narrow = &plan;
    f = move_rows(header.nrows, header.ncols, FMT_ASCII, reader, format, target, settings);
    progress.reset();
    add_read_hint(f, header, args, format);
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
        f = check_written_files({source_path, reader.fd, target_path, format != FMT_ASCII,
                                 args.sidecar, prj_copied(args, true), layout.template_path,
                                 raw_source_sidecars(source_path)});
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
    if (f.message == MSG_VALUE_CHANGES && args.strict && !args.map_nodata &&
        element_is_nodata(source_path, f.value, layout)) {
        f.hint = nodata_hint(layout.header.nodata, format);
    }
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
    if (args.sidecar) {
        // The value the cells hold for the source's no-data value: N, or it wrapped or rounded.
        if (format != FMT_ASCII) {
            header.nodata =
                nodata_in_target(header.nodata, raw ? layout.format : FMT_ASCII, format, plan)
                    .value_or("");
        }
        const std::string source_prj = prj_copied(args, raw);
        const failure f = format == FMT_ASCII
                              ? write_prj(source_prj, target_path)
                              : write_sidecars(header, format, source_prj, target_path);
        if (f.failed()) fatal_error(f);
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
