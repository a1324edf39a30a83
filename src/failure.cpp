#include "failure.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void print_and_fail(std::string_view message, std::string_view detail,
                                 std::string_view hint) {
    // One write, so the lines are not interleaved with another process's output.
    std::string lines;
    lines.append(message).append(" ").append(detail).append("\n");
    if (!hint.empty()) lines.append("hint: ").append(hint).append("\n");
    std::fwrite(lines.data(), 1, lines.size(), stderr);
    std::exit(1);
}

}  // namespace

void fatal_error(std::string_view message, std::string_view detail) {
    print_and_fail(message, detail, "");
}

void fatal_error(const failure& f) {
    print_and_fail(f.message, f.detail, f.hint);
}

std::string printable(std::string_view token, bool cut) {
    std::string shown;
    for (const char c : token) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            static const char hex[] = "0123456789abcdef";
            shown += "\\x";
            shown += hex[byte >> 4];
            shown += hex[byte & 15];
        } else {
            shown += c;
        }
    }
    if (cut) shown += "...";
    return shown;
}

std::string row_column(std::uint64_t row, std::uint64_t column) {
    return "Row: " + std::to_string(row) + "\tColumn: " + std::to_string(column);
}
