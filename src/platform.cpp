#include "platform.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#if defined(__GLIBC__) || __has_include(<malloc.h>)
#include <malloc.h>
#endif

#include "paths.h"

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
