#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__GLIBC__) || __has_include(<malloc.h>)
#include <malloc.h>
#endif

#include "paths.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

bool same_file(const file_identity& a, const file_identity& b) {
    return a.known && b.known && a.device == b.device && a.index == b.index;
}

#ifdef _WIN32
namespace {

file_identity identity_of_handle(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info) ||
        GetFileType(file) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {};
    }
    return {true, info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

}  // namespace

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

bool is_terminal(int fd) {
    return _isatty(fd) != 0;
}

bool names_terminal(const std::string&) {
    return false;
}

bool reserve_standard_descriptors() {
    return false;
}

void binary_standard_streams() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}
#else
namespace {

file_identity identity_of_status(const struct stat& status) {
    if (!S_ISREG(status.st_mode)) return {};
    return {true, static_cast<std::uint64_t>(status.st_dev),
            static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace

file_identity identity_of_descriptor(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 ? identity_of_status(status) : file_identity{};
}

file_identity identity_of_path(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? identity_of_status(status) : file_identity{};
}

bool is_terminal(int fd) {
    return isatty(fd) != 0;
}

bool names_terminal(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool terminal = isatty(fd) != 0;
    close(fd);
    return terminal;
}

bool reserve_standard_descriptors() {
    bool output_closed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is fd itself, as the ones below it are open.
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) std::_Exit(1);
        if (fd == 1) output_closed = true;
    }
    return output_closed;
}

void binary_standard_streams() {}
#endif

void fixed_block_mapping() {
#ifdef M_MMAP_THRESHOLD
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);  // glibc's default start, now kept
#endif
}

void ignore_write_signals() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

#ifdef _WIN32
int create_new_file(const std::string& path) {
    return _wopen(native_path(path).c_str(),
                  _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

bool set_file_size(int fd, std::uint64_t size) {
    return _chsize_s(fd, static_cast<__int64>(size)) == 0;
}

void keep_mode_of(int, const std::string&) {}

namespace {

// One positioned transfer of at most a gigabyte through the descriptor's handle.
template <typename Transfer>
std::size_t transfer_at(int fd, std::size_t size, std::uint64_t offset, Transfer transfer) {
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        DWORD moved = 0;
        if (!transfer(file, done, piece, &moved, &at) || moved == 0) break;
        done += moved;
    }
    return done;
}

}  // namespace

std::size_t write_at(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    const auto* bytes = static_cast<const char*>(data);
    return transfer_at(
        fd, size, offset,
        [&](HANDLE file, std::size_t done, DWORD piece, DWORD* moved, OVERLAPPED* at) {
            return WriteFile(file, bytes + done, piece, moved, at) != 0;
        });
}

std::size_t read_at(int fd, void* data, std::size_t size, std::uint64_t offset) {
    auto* bytes = static_cast<char*>(data);
    return transfer_at(
        fd, size, offset,
        [&](HANDLE file, std::size_t done, DWORD piece, DWORD* moved, OVERLAPPED* at) {
            return ReadFile(file, bytes + done, piece, moved, at) != 0;
        });
}

bool close_descriptor(int fd) {
    return _close(fd) == 0;
}

bool replace_file(const std::string& from, const std::string& to) {
    return MoveFileExW(native_path(from).c_str(), native_path(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING) != 0;
}

// Windows ends a console run by another thread; the half-written file is left to the user there.
void remove_on_signal(const std::string&) {}
#else
int create_new_file(const std::string& path) {
    return open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
}

bool set_file_size(int fd, std::uint64_t size) {
    return ftruncate(fd, static_cast<off_t>(size)) == 0;
}

void keep_mode_of(int fd, const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        fchmod(fd, status.st_mode & 0777);
    }
}

namespace {

// pwrite or pread until size bytes moved, an error or the end of the file.
template <typename Transfer>
std::size_t transfer_at(std::size_t size, std::uint64_t offset, Transfer transfer) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t moved = transfer(done, std::min<std::size_t>(size - done, 1u << 30),
                                       static_cast<off_t>(offset + done));
        if (moved < 0 && errno == EINTR) continue;
        if (moved <= 0) break;
        done += static_cast<std::size_t>(moved);
    }
    return done;
}

}  // namespace

std::size_t write_at(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    const auto* bytes = static_cast<const char*>(data);
    return transfer_at(size, offset, [&](std::size_t done, std::size_t piece, off_t at) {
        return pwrite(fd, bytes + done, piece, at);
    });
}

std::size_t read_at(int fd, void* data, std::size_t size, std::uint64_t offset) {
    auto* bytes = static_cast<char*>(data);
    return transfer_at(size, offset, [&](std::size_t done, std::size_t piece, off_t at) {
        return pread(fd, bytes + done, piece, at);
    });
}

bool close_descriptor(int fd) {
    return close(fd) == 0;
}

bool replace_file(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

namespace {

// Written before the handlers are set and cleared after they are reset: a handler reads it only
// while it is whole.
char signal_removes[4096];

extern "C" void remove_and_end(int signal_number) {
    unlink(signal_removes);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

}  // namespace

void remove_on_signal(const std::string& path) {
    // Signals the caller ignores (nohup's hang-up) stay ignored.
    static bool caught[3] = {};
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    if (path.empty() || path.size() >= sizeof signal_removes) {
        for (int i = 0; i < 3; ++i) {
            if (caught[i]) std::signal(signals[i], SIG_DFL);
            caught[i] = false;
        }
        signal_removes[0] = '\0';
        return;
    }
    std::memcpy(signal_removes, path.c_str(), path.size() + 1);
    for (int i = 0; i < 3; ++i) {
        if (std::signal(signals[i], remove_and_end) == SIG_IGN) {
            std::signal(signals[i], SIG_IGN);
        } else {
            caught[i] = true;
        }
    }
}
#endif
