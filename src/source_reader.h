// A buffered reader of the source: block reads into one reused buffer, with the text-mode rules
// applied by the program itself so they are the same on every platform.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "unpacked_stream.h"

// The reader's own block holds the header and what is read with it; the cells after it are read
// straight into the pipeline's chunks. Each of its pages is faulted in once per run, so it is
// no larger than that needs.
constexpr std::size_t SOURCE_BLOCK_SIZE = std::size_t(64) << 10;
constexpr std::size_t HEADER_BLOCK_SIZE = std::size_t(4) << 10;
constexpr std::size_t MIN_SOURCE_BLOCK_SIZE = 16;
// Readable bytes after the data: the added newline, the NUL sentinel, and room for parsers that
// look at whole blocks of 64 bytes.
constexpr std::size_t READ_SLACK = 160;

// The cursor (pos) is read freely but moved only by the functions below.
struct source_reader {
    int fd = -1;
    // Where the file is compressed, its bytes come unpacked from here; fd is still the file's.
    unpacked_stream* unpacked = nullptr;
    std::unique_ptr<char[]> storage;
    std::size_t capacity = 0;
    const char* pos = nullptr;  // unread data is [pos, end); *end is a NUL sentinel
    const char* end = nullptr;
    bool text_mode = true;
    bool at_eof = false;         // nothing more will come from the file
    bool read_error = false;     // ... because a read failed: the last bytes may be cut short
    bool added_newline = false;  // the byte before end is the newline text mode added
    std::atomic<std::uint64_t> bytes_read{0};  // from the file so far; read by the progress line
    // Where set, the bytes consumed are appended here as the buffer lets go of them, up to
    // keep_limit of them; kept_all is false once more were consumed.
    std::string* keep = nullptr;
    std::size_t keep_limit = 0;
    bool kept_all = true;
};

// Starts reading the open descriptor fd (or what unpacked gives, where set) in blocks of up to
// capacity bytes (the reader's block is kept when it has that size). In text mode a byte 0x1A ends
// the input and a newline is added after the last byte, so the last token ends in white space like
// every other; not after a failed read, whose last token may be cut short.
void open_reader(source_reader& reader, int fd, bool text_mode,
                 std::size_t capacity = SOURCE_BLOCK_SIZE, unpacked_stream* unpacked = nullptr);
// Applies the text-mode rules from here on, and to the unread bytes the buffer holds: a reader
// opened in binary mode to look at a file's first bytes.
void start_text_mode(source_reader& reader);

// One read of up to size bytes from fd: what it has ready (waiting where it was left
// non-blocking), 0 at its end, -1 on an error.
long read_descriptor(int fd, char* data, std::size_t size);

// The descriptor of an open stdio stream, on every host.
int file_descriptor(std::FILE* file);

// Keeps the unread data, moves it to the front and reads more behind it: what one read gives, so
// a pipe's data is used as soon as it arrives. False when nothing could be added (the input is
// over, a read failed, or the buffer is full of unread data).
bool refill(source_reader& reader);

// The next byte without consuming it, or -1 at the end of the input.
int peek_byte(source_reader& reader);
// The next byte, consumed, or -1 at the end of the input.
int get_byte(source_reader& reader);
// Makes at least count unread bytes available unless the input ends first; returns how many are.
std::size_t ensure_bytes(source_reader& reader, std::size_t count);

// Moves up to size bytes of the input (size >= 2) into data, with the text-mode rules: first
// what the buffer holds unread, then what one read of the file gives. 0 when the input is over;
// at_eof and read_error say why. The reader's own buffer is not used again.
std::size_t read_into(source_reader& reader, char* data, std::size_t size);

// Whether a read could wait for data indefinitely: the source is a pipe, a FIFO or a device,
// not a regular file, or unpacks what one gives.
bool reads_may_wait(const source_reader& reader);
// The bytes of a regular file not yet consumed: the buffer's unread data and what is left in the
// file. Nothing for other sources, whose size is not known ahead.
std::optional<std::uint64_t> bytes_left(const source_reader& reader);
// Whether a read would return at once: data is ready or the input is over. Where this cannot be
// known, false.
bool input_ready(const source_reader& reader);

// The bytes of the file consumed so far: those read, less those not yet consumed (the newline that
// text mode adds at the end is not the file's).
std::uint64_t bytes_consumed(const source_reader& reader);

// Consumes the unread bytes before p, which lies in [pos, end].
void advance_to(source_reader& reader, const char* p);

// Appends to reader.keep what was consumed since the buffer last let go of its bytes, without the
// newline text mode added: the bytes of a stream read once (a template through a pipe).
void keep_consumed(source_reader& reader);

// Whether p is the newline that text mode added at the end of the input, not one of the file's.
inline bool is_added_newline(const source_reader& reader, const char* p) {
    return reader.added_newline && p == reader.end - 1;
}
