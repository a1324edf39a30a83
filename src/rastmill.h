// The driver's failure reporting and checked primitives, shared by every part of the program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// A failure found by a helper that does not end the run itself: the message and the offending
// item, as fatal_error prints them. An empty message means success.
struct failure {
    std::string message;
    std::string detail;

    bool failed() const { return !message.empty(); }
};

// Prints "<message> <detail>" and a newline on standard error and ends the process with exit
// status 1 through the normal exit, so streams still open are flushed.
[[noreturn]] void fatal_error(std::string_view detail, std::string_view message);
[[noreturn]] void fatal_error(const failure& f);

// Converts text as strtol with base 0 does (0x hexadecimal, leading 0 octal, else decimal),
// saturating at the 32-bit range. ok is false when anything but the number is left.
struct integer_scan {
    std::int32_t value;
    bool ok;
};
integer_scan scan_integer(std::string_view text);

// scan_integer, ending the run with "Invalid integer:" and the text when it is refused.
std::int32_t parse_integer(std::string_view text);

// Opens path with a stdio mode and stores the stream in stream_out. Ends the run with
// "File already exists, and should not be overwritten:" when a "w" mode would replace an
// existing file that may not be overwritten, and with "Cannot open file:" when the open fails.
void open_file(std::FILE*& stream_out, const std::string& path, const char* mode,
               bool overwrite_allowed);

// Whether two paths name the same existing file, through any link.
bool same_file(const std::string& a, const std::string& b);

// The whole run: arguments as main receives them; returns the exit status or ends the process.
int run_rastmill(int argc, char** argv);
