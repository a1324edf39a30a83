// Writes a deterministic Arc ascii grid for benchmarks on standard output:
//   make_grid KIND NCOLS NROWS
// KIND is dem (elevations with 3 decimals), gdal (the same as 17 significant digits, as GDAL
// writes float32 values), class (integers 0..12) or int16 (elevations in whole metres with
// 44 % of the cells -9999).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A small deterministic generator, so every run writes the same bytes.
struct xorshift {
    unsigned long long state = 0x9E3779B97F4A7C15ull;
    unsigned long long next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

double elevation(long row, long col, xorshift& random) {
    const double smooth = 1500 + 300 * std::sin(static_cast<double>(row) / 200.0) *
                                     std::cos(static_cast<double>(col) / 150.0);
    return smooth + static_cast<double>(random.next() % 100000) / 1000.0;
}

int write_cell(char* out, const char* kind, long row, long col, xorshift& random) {
    if (std::strcmp(kind, "dem") == 0) {
        return std::snprintf(out, 64, "%.3f", elevation(row, col, random));
    }
    if (std::strcmp(kind, "gdal") == 0) {
        const float value = static_cast<float>(elevation(row, col, random));
        return std::snprintf(out, 64, "%.17g", static_cast<double>(value));
    }
    if (std::strcmp(kind, "class") == 0) {
        return std::snprintf(out, 64, "%d", static_cast<int>(random.next() % 13));
    }
    if (random.next() % 100 < 44) return std::snprintf(out, 64, "-9999");
    return std::snprintf(out, 64, "%d", static_cast<int>(elevation(row, col, random)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: make_grid dem|gdal|class|int16 NCOLS NROWS\n", stderr);
        return 1;
    }
    const char* kind = argv[1];
    const long ncols = std::atol(argv[2]);
    const long nrows = std::atol(argv[3]);
    std::printf(
        "ncols %ld\nnrows %ld\nxllcorner 500000\nyllcorner 4200000\ncellsize 30\n"
        "NODATA_value -9999\n",
        ncols, nrows);
    xorshift random;
    std::string line;
    char cell[64];
    for (long r = 0; r < nrows; ++r) {
        line.clear();
        for (long c = 0; c < ncols; ++c) {
            if (c != 0) line += ' ';
            line.append(cell, static_cast<std::size_t>(write_cell(cell, kind, r, c, random)));
        }
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    return 0;
}
