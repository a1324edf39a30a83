// rastmill: converts an ESRI Arc ascii grid into a headerless little-endian raw binary raster.
#include "rastmill.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "formats.h"
#include "grid.h"
#include "text_number.h"

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

// The value of a digit in bases up to 16, or 99 for any other character.
int base_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

}  // namespace

void fatal_error(std::string_view detail, std::string_view message) {
    std::string line;
    line.reserve(message.size() + detail.size() + 2);
    line.append(message).append(" ").append(detail).append("\n");
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::exit(1);
}

void fatal_error(const failure& f) {
    fatal_error(f.detail, f.message);
}

integer_scan scan_integer(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int base = 10;
    if (i < text.size() && text[i] == '0') {
        base = 8;
        if (i + 2 < text.size() && (text[i + 1] | 0x20) == 'x' && base_digit(text[i + 2]) < 16) {
            base = 16;
            i += 2;
        }
    }
    const std::size_t digits_at = i;
    constexpr std::uint64_t saturated = std::uint64_t(1) << 31;
    std::uint64_t magnitude = 0;
    for (; i < text.size() && base_digit(text[i]) < base; ++i) {
        magnitude = std::min(
            magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(base_digit(text[i])),
            saturated);
    }
    // Like strtol: nothing converted, or anything left after the number, is not an integer.
    const bool ok = text.empty() || (i != digits_at && i == text.size());
    std::int64_t value =
        negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    value = std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX);
    return {static_cast<std::int32_t>(value), ok};
}

std::int32_t parse_integer(std::string_view text) {
    const integer_scan scan = scan_integer(text);
    if (!scan.ok) fatal_error(text, "Invalid integer:");
    return scan.value;
}

void open_file(std::FILE*& stream_out, const std::string& path, const char* mode,
               bool overwrite_allowed) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    const bool exists = !error && std::filesystem::exists(status);
    if (!overwrite_allowed && std::strchr(mode, 'w') != nullptr && exists) {
        fatal_error(path, "File already exists, and should not be overwritten:");
    }
    // A directory opens for reading on some systems and then fails at the first read.
    if (std::filesystem::is_directory(status)) fatal_error(path, "Cannot open file:");
    stream_out = std::fopen(path.c_str(), mode);
    if (stream_out == nullptr) fatal_error(path, "Cannot open file:");
}

bool same_file(const std::string& a, const std::string& b) {
    std::error_code error;
    const bool same = std::filesystem::equivalent(a, b, error);
    return !error && same;
}

int run_rastmill(int argc, char** argv) {
#ifdef SIGPIPE
    // A target pipe whose reader went away is a failed write with its one-line message, not a
    // silent death by signal.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    init_element_sizes();
    if (argc < 4) {
        std::fputs(USAGE, stderr);
        return 1;
    }
    const element_format target_format = parse_format(argv[1]);
    const std::string source_path = argv[2];
    const std::string target_path = argv[3];

    std::FILE* source = nullptr;
    open_file(source, source_path, "rb", false);
    source_reader reader;
    open_reader(reader, source, true);
    grid_header header;
    if (const failure f = read_header(reader, header); f.failed()) fatal_error(f);
    if (target_format == FMT_ASCII && header.nrows >= 1) {
        fatal_error("Unknown format specifier in switch statement", "Fatal error:");
    }
    // Opening the target for writing would empty the source before a single value is read.
    std::error_code error;
    if (same_file(source_path, target_path) &&
        std::filesystem::is_regular_file(target_path, error)) {
        fatal_error(target_path, "File already exists, and should not be overwritten:");
    }

    std::FILE* target_file = nullptr;
    open_file(target_file, target_path, target_format == FMT_ASCII ? "w" : "wb", true);
    grid_target target;
    open_target(target, target_file);
    transfer_grid(header.nrows, header.ncols, FMT_ASCII, reader, target_format, target);
    std::fclose(source);
    if (!close_target(target)) {
        const int width = target_format == FMT_ASCII ? 0 : element_size[target_format];
        fatal_error(lost_value_position(target, header.ncols, width), "Error writing output:");
    }
    return 0;
}

#ifndef RASTMILL_NO_MAIN
int main(int argc, char** argv) {
    try {
        return run_rastmill(argc, argv);
    } catch (const std::bad_alloc&) {
        // The I/O blocks and path copies are the only other allocations; running out there is
        // the same failure as running out for a row.
        fatal_error("", "Failure to allocate memory");
    }
}
#endif
