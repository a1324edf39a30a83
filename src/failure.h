// The program's one way of failing: a message and the offending item, printed as one line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Every message text the program prints, each named once.
inline constexpr char MSG_CANNOT_OPEN[] = "Cannot open file:";
inline constexpr char MSG_OVERWRITE[] = "File already exists, and should not be overwritten:";
inline constexpr char MSG_BAD_FORMAT_NAME[] = "Unrecognized format specifier:";
inline constexpr char MSG_FATAL[] = "Fatal error";
inline constexpr char MSG_NOT_A_GRID[] = "Unrecognized input file format:";
inline constexpr char MSG_INVALID_INTEGER[] = "Invalid integer:";
inline constexpr char MSG_NO_MEMORY[] = "Failure to allocate memory";
inline constexpr char MSG_READ_ERROR[] = "Error reading input:";
inline constexpr char MSG_WRITE_ERROR[] = "Error writing output:";
inline constexpr char MSG_GRID_TARGET[] =
    "Refusing to overwrite an Arc ascii grid with binary cells:";
inline constexpr char MSG_COMPRESSED_TARGET[] =
    "Refusing to overwrite a compressed file with binary cells:";
inline constexpr char MSG_SOURCE_SIDECAR_NAME[] =
    "Refusing to write a file named as the source's sidecar:";
inline constexpr char MSG_GRID_TO_ASCII[] =
    "The source is an Arc ascii grid already; ascii writes raw cells back as one:";
inline constexpr char MSG_TERMINAL_TARGET[] = "Refusing to write binary output to a terminal:";
inline constexpr char MSG_NO_SIDECAR[] = "Cannot write a sidecar beside standard output:";
inline constexpr char MSG_SIDECAR_NOT_FILE[] =
    "Cannot write a sidecar beside a target that is not a regular file:";
inline constexpr char MSG_SIDECAR_FORMAT[] = "Cannot write a sidecar that GIS tools read for:";
inline constexpr char MSG_SIDECAR_IS_TARGET[] = "Cannot write a sidecar over its own target:";
inline constexpr char MSG_RAW_LAYOUT[] = "Give the grid a raw source belongs to with --like GRID:";
inline constexpr char MSG_RAW_FORMAT[] =
    "Give the element format of a raw source with --from FORMAT:";
inline constexpr char MSG_BAD_SIDECAR[] = "Cannot read the sidecar of a raw source:";
inline constexpr char MSG_SIDECAR_DISAGREES[] = "The raw source's sidecar disagrees:";
inline constexpr char MSG_BAD_NODATA[] = "Invalid no-data value for the target format:";
inline constexpr char MSG_NOTHING_TO_MAP[] = "Nothing to map to the no-data value:";
inline constexpr char MSG_VALUE_CHANGES[] = "Value changes in the target format:";
inline constexpr char MSG_RAW_SIZE[] = "Source size does not match the grid:";
inline constexpr char MSG_RAW_LONGER[] = "Source holds more than the grid:";
inline constexpr char MSG_HEADER_VALUE_TOO_LONG[] = "Header value longer than 1 MiB:";
inline constexpr char MSG_TEMPLATE_HEADER_TOO_LONG[] = "Template header longer than 16 MiB:";
inline constexpr char MSG_TILE_NOT_PLACED[] = "Cannot place tile:";
inline constexpr char MSG_MOSAIC_TOO_LARGE[] = "Mosaic too large:";
inline constexpr char MSG_NOT_A_TILE_LIST[] = "Not a list of tiles:";
inline constexpr char MSG_NO_TILES[] = "No tiles in:";
inline constexpr char MSG_TILE_NOT_FILE[] = "Tile is not a regular file:";
inline constexpr char MSG_TILE_TWICE[] = "Tile listed twice:";
inline constexpr char MSG_TILE_CHANGED[] = "Tile changed while the mosaic was made:";
inline constexpr char MSG_PRJ_DIFFERS[] = "Tiles have different .prj files:";
inline constexpr char MSG_MOSAIC_GAP[] =
    "Cells that no tile covers, and no no-data value for them:";
inline constexpr char MSG_TILES_DISAGREE[] = "Tiles disagree at a cell:";
inline constexpr char MSG_MOSAIC_TARGET[] = "A mosaic needs a regular file as its target:";
inline constexpr char MSG_MOSAIC_FORMAT[] = "A mosaic is written in a binary format, not:";
inline constexpr char MSG_NOT_WITH_MOSAIC[] = "Option not taken with --mosaic:";
inline constexpr char MSG_ONLY_WITH_MOSAIC[] = "Option taken with --mosaic only:";
inline constexpr char MSG_BAD_SNAP[] = "Invalid --snap value:";
inline constexpr char MSG_BAD_OVERLAP[] = "Invalid --overlap value:";
inline constexpr char MSG_DAMAGED_SOURCE[] = "Compressed source is damaged:";
inline constexpr char MSG_CANNOT_UNPACK[] = "This build of rastmill cannot read:";
inline constexpr char MSG_UNKNOWN_INFLATER[] = "Unknown inflater in RASTMILL_INFLATE:";
inline constexpr char MSG_BAD_ARCHIVE[] = "Cannot read zip archive:";
inline constexpr char MSG_ARCHIVE_FROM_STDIN[] = "A zip archive is read from a file, not from:";
inline constexpr char MSG_SEVERAL_GRIDS[] = "Archive holds several grids:";
inline constexpr char MSG_NO_GRID_IN_ARCHIVE[] = "No grid in archive:";
inline constexpr char MSG_NO_SUCH_MEMBER[] = "No such member in archive:";
inline constexpr char MSG_MEMBER_UNREADABLE[] = "Cannot read archive member:";
inline constexpr char MSG_UNKNOWN_KERNELS[] = "Unknown kernel set:";
inline constexpr char MSG_KERNELS_UNSUPPORTED[] = "Kernel set not supported on this CPU:";

// A failure found by a helper that does not end the run itself. An empty message means success.
// A hint, where one is given, is printed on a second line after "hint: ".
struct failure {
    std::string message;
    std::string detail;
    std::string hint;
    // For "Error reading input:" in the grid's values: the number of the value it names,
    // row-major from the first, so that the hint need not read it back from the detail.
    std::uint64_t value = 0;

    failure() = default;
    failure(std::string_view m, std::string_view d, std::string_view h = {})
        : message(m), detail(d), hint(h) {}

    bool failed() const { return !message.empty(); }
};

// Prints "<message> <detail>" and a newline on standard error and ends the process with exit
// status 1 through the normal exit, so what was written to the target stays there.
[[noreturn]] void fatal_error(std::string_view message, std::string_view detail);
// The same, followed by "hint: <hint>" on a line of its own when f has a hint.
[[noreturn]] void fatal_error(const failure& f);

// A token from the input as a message shows it: control bytes, which would garble the line, as
// \xHH, and "..." after a token that was cut.
std::string printable(std::string_view token, bool cut);

// "Row: R\tColumn: C", the detail that names one value of the grid.
std::string row_column(std::uint64_t row, std::uint64_t column);
