#include "source_reader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

long read_descriptor(int fd, char* data, std::size_t size) {
#ifdef _WIN32
    return _read(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
#else
    for (;;) {
        const ssize_t n = ::read(fd, data, std::min<std::size_t>(size, SSIZE_MAX));
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        // A descriptor left non-blocking by whoever gave it to us: wait for data, as a blocking
        // read would.
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, -1) < 0 && errno != EINTR) return -1;
    }
#endif
}

namespace {

// One read of up to size bytes: what the file has ready, 0 at its end, -1 on an error.
long read_some(const source_reader& reader, char* data, std::size_t size) {
    if (reader.unpacked != nullptr) return pull_unpacked(*reader.unpacked, data, size);
    return read_descriptor(reader.fd, data, size);
}

void count_read(source_reader& reader, std::size_t added) {
    reader.bytes_read.store(reader.bytes_read.load(std::memory_order_relaxed) + added,
                            std::memory_order_relaxed);
}

// Applies the text-mode rules to the added bytes just read at data, of which there is room for
// one more, and returns how many of them are input.
std::size_t text_mode_rules(source_reader& reader, char* data, std::size_t added) {
    if (!reader.text_mode) return added;
    // A 0x1A byte is the end-of-file mark of text files from DOS and Windows.
    if (const void* mark = std::memchr(data, 0x1A, added)) {
        added = static_cast<std::size_t>(static_cast<const char*>(mark) - data);
        reader.at_eof = true;
    }
    if (reader.at_eof && !reader.read_error) {
        data[added++] = '\n';
        reader.added_newline = true;
    }
    return added;
}

}  // namespace

int file_descriptor(std::FILE* file) {
#ifdef _WIN32
    return _fileno(file);
#else
    return fileno(file);
#endif
}

void open_reader(source_reader& reader, int fd, bool text_mode, std::size_t capacity,
                 unpacked_stream* unpacked) {
    reader.fd = fd;
    reader.unpacked = unpacked;
    // The header needs to see a whole keyword ahead; smaller blocks only make sense in tests.
    capacity = std::max(capacity, MIN_SOURCE_BLOCK_SIZE);
    // Not zero-filled: untouched pages of a large block cost nothing for small grids. A reader
    // opened again on another file keeps its block, warm.
    if (!reader.storage || reader.capacity != capacity) {
        reader.storage.reset(new char[capacity + READ_SLACK]);
    }
    reader.capacity = capacity;
    reader.storage[0] = '\0';
    reader.pos = reader.end = reader.storage.get();
    reader.text_mode = text_mode;
    reader.at_eof = reader.read_error = reader.added_newline = false;
    reader.bytes_read.store(0, std::memory_order_relaxed);
}

void start_text_mode(source_reader& reader) {
    if (reader.text_mode) return;
    reader.text_mode = true;
    char* unread = reader.storage.get() + (reader.pos - reader.storage.get());
    const std::size_t n =
        text_mode_rules(reader, unread, static_cast<std::size_t>(reader.end - reader.pos));
    reader.end = unread + n;
    unread[n] = '\0';
}

void keep_consumed(source_reader& reader) {
    const char* base = reader.storage.get();
    if (reader.keep == nullptr || reader.pos == base) return;
    std::size_t consumed = static_cast<std::size_t>(reader.pos - base);
    if (reader.added_newline && reader.pos == reader.end) --consumed;
    const std::size_t room = reader.keep_limit - std::min(reader.keep_limit, reader.keep->size());
    if (consumed > room) reader.kept_all = false;
    reader.keep->append(base, std::min(consumed, room));
}

bool refill(source_reader& reader) {
    keep_consumed(reader);
    const std::size_t kept = static_cast<std::size_t>(reader.end - reader.pos);
    char* base = reader.storage.get();
    if (kept != 0 && reader.pos != base) std::memmove(base, reader.pos, kept);
    char* free = base + kept;
    std::size_t added = 0;
    if (!reader.at_eof && kept < reader.capacity) {
        const long n = read_some(reader, free, reader.capacity - kept);
        if (n > 0) added = static_cast<std::size_t>(n);
        count_read(reader, added);
        reader.at_eof = n <= 0;
        reader.read_error = n < 0;
        added = text_mode_rules(reader, free, added);
    }
    free[added] = '\0';
    reader.pos = base;
    reader.end = free + added;
    return added != 0;
}

std::size_t ensure_bytes(source_reader& reader, std::size_t count) {
    while (static_cast<std::size_t>(reader.end - reader.pos) < count && refill(reader)) {
    }
    return static_cast<std::size_t>(reader.end - reader.pos);
}

int peek_byte(source_reader& reader) {
    if (ensure_bytes(reader, 1) == 0) return -1;
    return static_cast<unsigned char>(*reader.pos);
}

int get_byte(source_reader& reader) {
    const int c = peek_byte(reader);
    if (c >= 0) ++reader.pos;
    return c;
}

std::uint64_t bytes_consumed(const source_reader& reader) {
    std::uint64_t unread = static_cast<std::uint64_t>(reader.end - reader.pos);
    if (reader.added_newline && unread != 0) --unread;
    return reader.bytes_read.load(std::memory_order_relaxed) - unread;
}

void advance_to(source_reader& reader, const char* p) {
    reader.pos = p;
}

std::size_t read_into(source_reader& reader, char* data, std::size_t size) {
    char* base = reader.storage.get();
    if (reader.pos != reader.end) {
        const std::size_t n = std::min(size, static_cast<std::size_t>(reader.end - reader.pos));
        std::memcpy(data, reader.pos, n);
        reader.pos += n;
        return n;
    }
    reader.pos = reader.end = base;
    base[0] = '\0';
    if (reader.at_eof) return 0;
    // One byte is kept back for the newline text mode adds at the end.
    const long n = read_some(reader, data, size - 1);
    const std::size_t added = n > 0 ? static_cast<std::size_t>(n) : 0;
    count_read(reader, added);
    reader.at_eof = n <= 0;
    reader.read_error = n < 0;
    return text_mode_rules(reader, data, added);
}

bool reads_may_wait(const source_reader& reader) {
    if (reader.unpacked != nullptr) return unpacked_may_wait(*reader.unpacked);
#ifdef _WIN32
    struct _stat64 status {};
    return _fstat64(reader.fd, &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG;
#else
    struct stat status {};
    return fstat(reader.fd, &status) != 0 || !S_ISREG(status.st_mode);
#endif
}

std::optional<std::uint64_t> bytes_left(const source_reader& reader) {
    if (reader.unpacked != nullptr) return {};
#ifdef _WIN32
    struct _stat64 status {};
    if (_fstat64(reader.fd, &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) return {};
    const long long at = _lseeki64(reader.fd, 0, SEEK_CUR);
#else
    struct stat status {};
    if (fstat(reader.fd, &status) != 0 || !S_ISREG(status.st_mode)) return {};
    const off_t at = lseek(reader.fd, 0, SEEK_CUR);
#endif
    if (at < 0) return {};
    const auto size = static_cast<std::uint64_t>(status.st_size);
    const auto offset = static_cast<std::uint64_t>(at);
    const auto unread = static_cast<std::uint64_t>(reader.end - reader.pos);
    return (size > offset ? size - offset : 0) + unread;
}

bool input_ready(const source_reader& reader) {
    if (reader.unpacked != nullptr) return unpacked_ready(*reader.unpacked);
#ifdef _WIN32
    (void)reader;
    return false;
#else
    pollfd ready{reader.fd, POLLIN, 0};
    while (poll(&ready, 1, 0) < 0) {
        if (errno != EINTR) return true;  // the read itself will tell what is wrong
    }
    return ready.revents != 0;
#endif
}
