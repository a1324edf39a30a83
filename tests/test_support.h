// Helpers shared by the tests: scratch folders, whole-file reads and writes, running the program.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "memory_target.h"
#include "source_reader.h"
#include "target.h"

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// A fresh folder under the system's temporary folder, removed with its contents at the end.
struct scratch_dir {
    fs::path path;

    scratch_dir() {
        std::random_device seed;
        path = fs::temp_directory_path() / ("rastmill-test-" + std::to_string(seed()));
        fs::create_directories(path);
    }
    ~scratch_dir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The little-endian bytes of values, as the target file must hold them.
template <typename T>
std::string le_bytes(const std::vector<T>& values) {
    std::string bytes;
    for (const T& v : values) {
        unsigned char raw[sizeof(T)];
        std::memcpy(raw, &v, sizeof(T));
        if constexpr (std::endian::native == std::endian::big) {
            for (std::size_t i = 0; i < sizeof(T) / 2; ++i)
                std::swap(raw[i], raw[sizeof(T) - 1 - i]);
        }
        bytes.append(reinterpret_cast<const char*>(raw), sizeof(T));
    }
    return bytes;
}

struct run_result {
    int status;
    std::string err;
};

#ifndef _WIN32
// The program under test: the one built with the tests, or RASTMILL_UNDER_TEST when set, such as
// a wrapper that runs a cross-built program under an emulator.
inline std::string program_under_test() {
    const char* other = std::getenv("RASTMILL_UNDER_TEST");
    return other != nullptr ? other : RASTMILL_BINARY;
}

// Runs a shell command line in dir, with the program's path in $RASTMILL; captures stderr, with
// the CR that a Windows program puts before each newline taken out.
inline run_result run_shell(const scratch_dir& dir, const std::string& command) {
    const std::string err_path = dir / ".stderr";
    const std::string line = "cd '" + dir.path.string() + "' && RASTMILL='" + program_under_test() +
                             "' && export RASTMILL && (" + command + ") 2>'" + err_path +
                             "' </dev/null";
    const int raw = std::system(line.c_str());
    std::string err = read_file(err_path);
    for (std::size_t at; (at = err.find("\r\n")) != std::string::npos;)
        err.erase(at, 1);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, err};
}

// Whether the program under test reads compressed sources of a kind ("gzip (", "zip (minizip)"),
// as its --version says: a cross-built one may lack the libraries the tests have.
inline bool program_reads(const std::string& kind) {
    const scratch_dir dir;
    const run_result run =
        run_shell(dir, "\"$RASTMILL\" --version | grep -F 'compressed sources:' >&2");
    return run.err.find(kind) != std::string::npos;
}

// Runs the program with arguments (each quoted for the shell) in dir.
inline run_result run_rastmill_in(const scratch_dir& dir, const std::vector<std::string>& args) {
    std::string command = "\"$RASTMILL\"";
    for (const std::string& a : args)
        command += " '" + a + "'";
    return run_shell(dir, command);
}
#endif

#ifndef _WIN32
// A pseudo-terminal in raw mode, named by $TERMINAL in the commands run through it.
struct pseudo_terminal {
    int master = -1;
    int slave = -1;
    std::string path;

    pseudo_terminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        // The program must not inherit the master: the line hangs up when the last one closes.
        fcntl(master, F_SETFD, FD_CLOEXEC);
        path = ptsname(master);
        slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
    }
    ~pseudo_terminal() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
    // Runs command while data is written to the terminal and the line then hung up, so the next
    // read fails with EIO, as reads from a failing disk or a lost terminal do.
    run_result run_and_hang_up(const scratch_dir& dir, const std::string& command,
                               const std::string& data) {
        run_result result{};
        std::thread program([&] { result = run_shell(dir, "TERMINAL=" + path + "; " + command); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(write(master, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        close(master);
        master = -1;
        program.join();
        return result;
    }

    // Runs command and returns, in output, what it wrote to the terminal.
    run_result run(const scratch_dir& dir, const std::string& command, std::string& output) {
        run_result result = run_shell(dir, "TERMINAL=" + path + "; " + command);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        char chunk[4096];
        for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;)
            output.append(chunk, static_cast<std::size_t>(n));
        return result;
    }
};
#endif

// A grid with a standard six-line header and the given body.
inline std::string grid_text(int ncols, int nrows, const std::string& body) {
    return "ncols " + std::to_string(ncols) + "\nnrows " + std::to_string(nrows) +
           "\nxllcorner 0\nyllcorner 0\ncellsize 30\nNODATA_value -9999\n" + body;
}

// A source reader over bytes held in a temporary file.
struct text_source {
    std::FILE* file;
    source_reader reader;

    explicit text_source(const std::string& bytes, std::size_t capacity = SOURCE_BLOCK_SIZE,
                         bool text_mode = true)
        : file(std::tmpfile()) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::rewind(file);
        open_reader(reader, file_descriptor(file), text_mode, capacity);
    }
    ~text_source() { std::fclose(file); }
};
