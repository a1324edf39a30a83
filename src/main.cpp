// rastmill: converts an ESRI Arc ascii grid into a headerless little-endian raw binary raster,
// and raw cells back. The run itself is the library's; this is its shell.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "arguments.h"
#include "conversion.h"
#include "digit_kernels.h"
#include "failure.h"
#include "grid_source.h"
#include "mosaic.h"
#include "platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

[[noreturn]] void print_and_exit(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

int run(int argc, char** argv) {
    const bool output_closed = reserve_standard_descriptors();
    ignore_write_signals();
    fixed_block_mapping();
    binary_standard_streams();
    const argument_reading read = read_arguments(argc, argv);
    // --help works whatever the environment says; everything else runs on the kernels that
    // RASTMILL_KERNELS=NAME names (empty: the default), refused before anything is read.
    if (read.action == argument_action::help) print_and_exit(HELP);
    if (const char* kernels = std::getenv("RASTMILL_KERNELS"); kernels && *kernels != '\0') {
        if (const failure f = set_kernels(kernels); f.failed()) fatal_error(f);
    }
    if (read.action == argument_action::version) {
        print_and_exit(
            "rastmill " RASTMILL_VERSION "\nkernels: " + std::string(active_kernels().name) +
            " (this CPU runs " + runnable_kernel_names() +
            ")\ncompressed sources: " + compressed_sources_read() + "\n");
    }
    if (read.action == argument_action::usage) {
        if (!read.unknown_option.empty()) {
            const std::string line = "rastmill: unknown option '" + read.unknown_option + "'\n";
            std::fputs(line.c_str(), stderr);
        }
        std::fputs(USAGE, stderr);
        return 1;
    }
    const failure f = read.args.mosaic ? run_mosaic(read.args, output_closed)
                                       : run_conversion(read.args, output_closed);
    if (f.failed()) fatal_error(f);
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
