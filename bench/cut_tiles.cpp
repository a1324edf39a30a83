// Cuts an Arc ascii grid into N x N tiles for the mosaic benchmark:
//   cut_tiles SOURCE N FOLDER
// writes FOLDER/tile_RRR_CCC.asc (RRR counted from the top), each with its own header: its counts,
// its lower-left corner shifted from the source's by whole cells in exact decimal arithmetic, the
// source's cell size and no-data text. The cells' text is kept byte for byte, one row a line. The
// source must hold one grid row a line (as make_grid writes), a header of ncols, nrows,
// xllcorner, yllcorner, cellsize and an optional NODATA_value, and decimals without exponents.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "cut_tiles: %s\n", why.c_str());
    std::exit(1);
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Lines of a file read in large blocks; a line is valid until the next call.
struct line_reader {
    std::FILE* file = nullptr;
    std::vector<char> block = std::vector<char>(std::size_t(4) << 20);
    std::size_t begin = 0;
    std::size_t end = 0;
    bool at_end = false;
};

bool next_line(line_reader& in, std::string_view& line) {
    for (;;) {
        const char* first = in.block.data() + in.begin;
        const void* newline = std::memchr(first, '\n', in.end - in.begin);
        if (newline != nullptr) {
            const auto length = static_cast<std::size_t>(static_cast<const char*>(newline) - first);
            line = std::string_view(first, length);
            in.begin += length + 1;
            return true;
        }
        if (in.at_end) {
            line = std::string_view(first, in.end - in.begin);
            in.begin = in.end;
            return !line.empty();
        }
        // Keep the partial line at the front, growing the block for a line longer than it.
        std::memmove(in.block.data(), first, in.end - in.begin);
        in.end -= in.begin;
        in.begin = 0;
        if (in.end == in.block.size()) in.block.resize(in.block.size() * 2);
        const std::size_t got =
            std::fread(in.block.data() + in.end, 1, in.block.size() - in.end, in.file);
        if (got == 0) {
            if (std::ferror(in.file) != 0) fail("cannot read the source");
            in.at_end = true;
        }
        in.end += got;
    }
}

// A decimal as an integer count of 10^-places.
struct decimal {
    long long units = 0;
    int places = 0;
};

decimal parse_decimal(std::string_view text) {
    decimal d;
    bool negative = false;
    bool point = false;
    int digits = 0;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !point) {
            point = true;
        } else if (c >= '0' && c <= '9' && digits < 18) {
            d.units = d.units * 10 + (c - '0');
            d.places += point ? 1 : 0;
            ++digits;
        } else {
            fail("not a plain decimal of at most 18 digits: " + std::string(text));
        }
    }
    if (digits == 0) fail("not a decimal: " + std::string(text));
    if (negative) d.units = -d.units;
    return d;
}

long long scaled(long long units, int by) {
    for (; by > 0; --by) {
        if (units > LLONG_MAX / 10 || units < LLONG_MIN / 10) fail("a corner out of range");
        units *= 10;
    }
    return units;
}

// origin + cells * size, in the finer of their two scales.
std::string shifted(const decimal& origin, long long cells, const decimal& size) {
    const int places = origin.places > size.places ? origin.places : size.places;
    const long long step = scaled(size.units, places - size.places);
    if (step != 0 && (cells > LLONG_MAX / (step < 0 ? -step : step))) fail("a corner out of range");
    const long long start = scaled(origin.units, places - origin.places);
    const long long offset = cells * step;
    if ((offset > 0 && start > LLONG_MAX - offset) || (offset < 0 && start < LLONG_MIN - offset)) {
        fail("a corner out of range");
    }
    const long long sum = start + offset;
    // The magnitude, which for the most negative sum only an unsigned type holds.
    std::string digits = std::to_string(sum < 0 ? static_cast<unsigned long long>(-(sum + 1)) + 1
                                                : static_cast<unsigned long long>(sum));
    if (digits.size() <= static_cast<std::size_t>(places)) {
        digits.insert(0, static_cast<std::size_t>(places) + 1 - digits.size(), '0');
    }
    if (places > 0) digits.insert(digits.size() - static_cast<std::size_t>(places), 1, '.');
    return (sum < 0 ? "-" : "") + digits;
}

struct source_header {
    long ncols = -1;
    long nrows = -1;
    decimal xll;
    decimal yll;
    decimal cellsize;
    std::string cellsize_text;
    std::string nodata;  // as written; empty for none
};

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Reads the header's lines; returns the first row's line in first_row.
source_header read_header(line_reader& in, std::string_view& first_row) {
    source_header h;
    int seen = 0;
    while (next_line(in, first_row)) {
        std::size_t i = 0;
        while (i < first_row.size() && is_space(first_row[i]))
            ++i;
        if (i == first_row.size() || !std::isalpha(static_cast<unsigned char>(first_row[i]))) {
            break;
        }
        std::size_t j = i;
        while (j < first_row.size() && !is_space(first_row[j]))
            ++j;
        const std::string key = lower(first_row.substr(i, j - i));
        while (j < first_row.size() && is_space(first_row[j]))
            ++j;
        std::size_t k = first_row.size();
        while (k > j && is_space(first_row[k - 1]))
            --k;
        const std::string_view value = first_row.substr(j, k - j);
        if (key == "ncols") {
            h.ncols = std::atol(std::string(value).c_str());
        } else if (key == "nrows") {
            h.nrows = std::atol(std::string(value).c_str());
        } else if (key == "xllcorner") {
            h.xll = parse_decimal(value);
        } else if (key == "yllcorner") {
            h.yll = parse_decimal(value);
        } else if (key == "cellsize") {
            h.cellsize = parse_decimal(value);
            h.cellsize_text = std::string(value);
        } else if (key == "nodata_value") {
            h.nodata = std::string(value);
            continue;
        } else {
            fail("a header keyword this tool does not cut by: " + key);
        }
        ++seen;
    }
    if (seen != 5 || h.ncols <= 0 || h.nrows <= 0) {
        fail("the header needs ncols, nrows, xllcorner, yllcorner and cellsize");
    }
    return h;
}

// Where tile i of n starts, in cells of count.
long tile_start(long count, long n, long i) {
    return static_cast<long>(count * i / n);
}

// Creates the tile of cells [left, right) of rows [top, bottom) and writes its header.
std::FILE* open_tile(const std::string& folder, const source_header& h, long band, long col,
                     long top, long bottom, long left, long right) {
    char name[64];
    std::snprintf(name, sizeof name, "/tile_%03ld_%03ld.asc", band, col);
    std::FILE* tile = std::fopen((folder + name).c_str(), "wb");
    if (tile == nullptr) fail("cannot create " + folder + name);
    std::setvbuf(tile, nullptr, _IOFBF, std::size_t(256) << 10);
    const std::string xll = shifted(h.xll, left, h.cellsize);
    const std::string yll = shifted(h.yll, h.nrows - bottom, h.cellsize);
    std::fprintf(tile, "ncols %ld\nnrows %ld\nxllcorner %s\nyllcorner %s\ncellsize %s\n",
                 right - left, bottom - top, xll.c_str(), yll.c_str(), h.cellsize_text.c_str());
    if (!h.nodata.empty()) std::fprintf(tile, "NODATA_value %s\n", h.nodata.c_str());
    return tile;
}

// Each tile's piece of one row: [first, last) of the line, from its first cell to its last.
void cut_row(std::string_view line, long row, const std::vector<long>& cuts,
             std::vector<std::string_view>& pieces) {
    const char* p = line.data();
    const char* end = p + line.size();
    long col = 0;
    std::size_t tile = 0;
    const char* piece = nullptr;
    for (;;) {
        while (p != end && is_space(*p))
            ++p;
        if (p == end) break;
        if (col == cuts[tile]) piece = p;
        while (p != end && !is_space(*p))
            ++p;
        ++col;
        if (col == cuts[tile + 1]) {
            pieces[tile] = std::string_view(piece, static_cast<std::size_t>(p - piece));
            if (++tile + 1 == cuts.size()) break;
        }
    }
    while (p != end && is_space(*p))
        ++p;
    if (tile + 1 != cuts.size() || p != end) {
        fail("row " + std::to_string(row) + " does not hold ncols cells on one line");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: cut_tiles SOURCE N FOLDER\n", stderr);
        return 1;
    }
    line_reader in;
    in.file = std::fopen(argv[1], "rb");
    if (in.file == nullptr) fail(std::string("cannot open ") + argv[1]);
    const long n = std::atol(argv[2]);
    const std::string folder = argv[3];
    std::string_view line;
    const source_header h = read_header(in, line);
    if (n <= 0 || n > h.ncols || n > h.nrows) fail("N must be 1 to the grid's smaller side");

    std::vector<long> cuts;
    for (long i = 0; i <= n; ++i)
        cuts.push_back(tile_start(h.ncols, n, i));
    std::vector<std::string_view> pieces(static_cast<std::size_t>(n));
    std::vector<std::FILE*> tiles(static_cast<std::size_t>(n));
    bool have_line = !line.empty();
    for (long band = 0; band < n; ++band) {
        const long top = tile_start(h.nrows, n, band);
        const long bottom = tile_start(h.nrows, n, band + 1);
        for (std::size_t col = 0; col < tiles.size(); ++col) {
            tiles[col] = open_tile(folder, h, band, static_cast<long>(col), top, bottom, cuts[col],
                                   cuts[col + 1]);
        }
        for (long row = top; row < bottom; ++row) {
            if (!have_line && !next_line(in, line)) fail("the source ends before its nrows rows");
            have_line = false;
            cut_row(line, row, cuts, pieces);
            for (std::size_t t = 0; t < tiles.size(); ++t) {
                std::fwrite(pieces[t].data(), 1, pieces[t].size(), tiles[t]);
                std::fputc('\n', tiles[t]);
            }
        }
        for (std::FILE* tile : tiles) {
            if (std::ferror(tile) != 0 || std::fclose(tile) != 0) fail("cannot write a tile");
        }
    }
    while (next_line(in, line)) {
        for (const char c : line) {
            if (!is_space(c)) fail("the source holds more than its nrows rows");
        }
    }
    std::fclose(in.file);
    return 0;
}
