#include "raw_sidecar.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <system_error>

#include "chars.h"
#include "exact_decimal.h"
#include "paths.h"

namespace {

// A sidecar is a few hundred bytes; anything much longer is not one.
constexpr std::size_t MAX_SIDECAR_BYTES = 64 << 10;

// GDAL reads no more of a sidecar than this many lines, and stops at a longer line.
constexpr int MOST_LINES = 50;
constexpr std::size_t LONGEST_LINE = 1000;

// A label's value as its last line gives it, and that line's number.
struct labelled {
    std::string value;
    int line = 0;
};

using labels = std::map<std::string, labelled, std::less<>>;

// Each line's first word, upper-cased, and its second; lines of fewer words say nothing. As in
// GDAL, a repeated label takes its last value, and only what GDAL reads is read.
labels read_labels(std::string_view text) {
    labels found;
    for (int number = 1; !text.empty() && number <= MOST_LINES; ++number) {
        const std::size_t end = std::min(text.find_first_of("\r\n"), text.size());
        std::string_view line = text.substr(0, end);
        const std::size_t after = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
        text.remove_prefix(std::min(after, text.size()));
        if (line.size() > LONGEST_LINE) break;
        auto next_word = [&line]() {
            const std::size_t start = line.find_first_not_of(" \t");
            if (start == std::string_view::npos) return std::string_view();
            line.remove_prefix(start);
            const std::size_t stop = std::min(line.find_first_of(" \t"), line.size());
            const std::string_view word = line.substr(0, stop);
            line.remove_prefix(stop);
            return word;
        };
        std::string key(next_word());
        const std::string_view value = next_word();
        if (key.empty() || value.empty()) continue;
        for (char& c : key)
            c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        found[std::move(key)] = labelled{std::string(value), number};
    }
    return found;
}

const std::string* label(const labels& found, std::string_view key) {
    const auto at = found.find(key);
    return at == found.end() ? nullptr : &at->second.value;
}

// Of labels that GDAL reads into one value, the one written last, or nothing.
const labels::value_type* last_of(const labels& found,
                                  std::initializer_list<std::string_view> keys) {
    const labels::value_type* last = nullptr;
    for (const std::string_view key : keys) {
        const auto at = found.find(key);
        if (at != found.end() && (last == nullptr || at->second.line > last->second.line)) {
            last = &*at;
        }
    }
    return last;
}

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

std::optional<std::int64_t> whole_number(const std::string* text) {
    if (text == nullptr) return std::nullopt;
    std::int64_t value = 0;
    const char* end = text->data() + text->size();
    const auto [ptr, ec] = std::from_chars(text->data(), end, value);
    if (ec != std::errc{} || ptr != end) return std::nullopt;
    return value;
}

// The format from NBITS and PIXELTYPE; the reason it cannot be read otherwise.
std::optional<element_format> format_of(std::int64_t bits, const std::string& type,
                                        std::string& why) {
    const bool real = type == "FLOAT";
    const bool is_signed = type == "SIGNEDINT";
    if (!real && !is_signed && !type.empty() && type != "UNSIGNEDINT") {
        why = "PIXELTYPE " + type + " is none of SIGNEDINT, UNSIGNEDINT, FLOAT";
        return std::nullopt;
    }
    if (real && bits == 32) return FMT_FLOAT;
    if (real && bits == 64) return FMT_DOUBLE;
    if (!real && bits == 8) return is_signed ? FMT_CHAR : FMT_UCHAR;
    if (!real && bits == 16) return is_signed ? FMT_SHORTINT : FMT_USHORTINT;
    if (!real && bits == 32) return is_signed ? FMT_INTEGER : FMT_UINTEGER;
    why = "NBITS " + std::to_string(bits) + (type.empty() ? "" : " PIXELTYPE " + type) +
          " is no element format rastmill reads";
    return std::nullopt;
}

// Refuses what would make the elements something other than one band of whole rows.
failure check_plain_layout(const labels& found, std::int64_t row_bytes, const std::string& path) {
    const auto bands = whole_number(label(found, "NBANDS"));
    if (label(found, "NBANDS") != nullptr && bands != 1) {
        return {MSG_BAD_SIDECAR, path + ": NBANDS " + *label(found, "NBANDS") + ": one band only"};
    }
    if (const std::string* skip = label(found, "SKIPBYTES"); skip && whole_number(skip) != 0) {
        return {MSG_BAD_SIDECAR, path + ": SKIPBYTES " + *skip + ": rastmill reads from byte 0"};
    }
    for (const char* key : {"BANDROWBYTES", "TOTALROWBYTES"}) {
        const std::string* given = label(found, key);
        if (given != nullptr && whole_number(given) != row_bytes) {
            return {MSG_BAD_SIDECAR, path + ": " + key + " " + *given + " where rows take " +
                                         std::to_string(row_bytes) + " bytes"};
        }
    }
    return {};
}

failure read_format(const labels& found, const std::string& path, raw_sidecar& sidecar) {
    const std::string* nbits = label(found, "NBITS");
    const std::string type = upper(label(found, "PIXELTYPE") ? *label(found, "PIXELTYPE") : "");
    // GDAL takes 16- and 32-bit integers with a negative no-data value and no PIXELTYPE for signed
    // ones; bytes stay unsigned.
    const auto* nodata = last_of(found, {"NODATA", "NODATA_VALUE"});
    const bool negative_nodata = nodata && nodata->second.value.starts_with('-') &&
                                 is_decimal(nodata->second.value) &&
                                 !same_number(nodata->second.value, "0");
    const bool float_grid =
        nbits == nullptr && type.empty() &&
        (label(found, "CELLSIZE") || label(found, "XLLCORNER") || label(found, "XLLCENTER"));
    std::optional<element_format> format;
    std::string why;
    if (float_grid) {
        format = FMT_FLOAT;
        sidecar.format_words = "a float-grid header";
    } else {
        // GDAL's default width is the one its pixel type has: Float32, else a byte.
        const std::optional<std::int64_t> bits = nbits             ? whole_number(nbits)
                                                 : type == "FLOAT" ? 32
                                                                   : 8;
        if (!bits) return {MSG_BAD_SIDECAR, path + ": NBITS " + *nbits};
        const bool signed_by_nodata = type.empty() && negative_nodata && *bits > 8;
        format = format_of(*bits, signed_by_nodata ? "SIGNEDINT" : type, why);
        // Only what the sidecar says, for messages.
        if (nbits) sidecar.format_words = "NBITS " + std::to_string(*bits);
        if (nbits && !type.empty()) sidecar.format_words += ' ';
        if (!type.empty()) sidecar.format_words.append("PIXELTYPE ").append(type);
        if (signed_by_nodata) {
            if (nbits) sidecar.format_words += ' ';
            sidecar.format_words.append("NODATA ").append(nodata->second.value);
        }
        if (sidecar.format_words.empty()) sidecar.format_words = "neither NBITS nor PIXELTYPE";
    }
    if (!format) return {MSG_BAD_SIDECAR, path + ": " + why};
    sidecar.format = *format;
    const std::string order = upper(label(found, "BYTEORDER") ? *label(found, "BYTEORDER") : "M");
    if (order != "I" && order != "M" && order != "LSBFIRST" && order != "MSBFIRST") {
        return {MSG_BAD_SIDECAR, path + ": BYTEORDER " + order + " is neither I nor M"};
    }
    sidecar.big_endian = order == "M" || order == "MSBFIRST";
    return {};
}

// Where the cells lie, as GDAL reads either form: one upper-left x from the last of ULXMAP,
// XLLCORNER and XLLCENTER; ULYMAP, unless YLLCORNER or YLLCENTER gives the lower edge; each cell
// size from the last of XDIM or YDIM and CELLSIZE; all of them centres of cells unless an
// XLLCORNER or YLLCORNER line makes them corners. What is missing is GDAL's default (0.5 for a
// coordinate, 1 for a size). The corners are computed exactly; a centre given as such stays one.
failure read_placing(const labels& found, const std::string& path, grid_header& header) {
    const auto* x_word = last_of(found, {"ULXMAP", "XLLCORNER", "XLLCENTER"});
    const auto* y_word = last_of(found, {"YLLCORNER", "YLLCENTER"});
    const auto* uly_word = last_of(found, {"ULYMAP"});
    const auto* xdim_word = last_of(found, {"XDIM", "CELLSIZE"});
    const auto* ydim_word = last_of(found, {"YDIM", "CELLSIZE"});
    const auto text_of = [](const labels::value_type* word, const char* otherwise) {
        return word ? word->second.value : std::string(otherwise);
    };
    const std::string ulx = text_of(x_word, "0.5");
    const std::string uly = text_of(uly_word, "0.5");
    const std::string yll = text_of(y_word, "");
    const std::string xdim = text_of(xdim_word, "1");
    const std::string ydim = text_of(ydim_word, "1");
    for (const auto* word : {x_word, y_word, uly_word, xdim_word, ydim_word}) {
        if (word == nullptr || is_decimal(word->second.value)) continue;
        const bool float_grid = word->first != "ULXMAP" && word->first != "ULYMAP" &&
                                word->first != "XDIM" && word->first != "YDIM";
        return {MSG_BAD_SIDECAR,
                path + (float_grid ? ": the corner and CELLSIZE must be numbers"
                                   : ": ULXMAP, ULYMAP, XDIM and YDIM must be numbers")};
    }
    const bool centres =
        label(found, "XLLCORNER") == nullptr && label(found, "YLLCORNER") == nullptr;
    const auto rows = static_cast<std::int64_t>(header.nrows);
    // GDAL gives a grid placed at its own defaults no placing at all: corner (0, 0), cells of 1.
    const std::string top =
        y_word ? *shifted_by_halves(yll, ydim, 2 * rows - (centres ? 2 : 0)) : uly;
    if (same_number(ulx, "0.5") && same_number(top, "0.5") && same_number(xdim, "1") &&
        same_number(ydim, "1")) {
        header.xll.assign(1, '0');
        header.yll.assign(1, '0');
        header.cellsize.assign(1, '1');
        return {};
    }
    header.x_center = centres && x_word && x_word->first == "XLLCENTER";
    header.y_center = centres && y_word;
    header.xll = header.x_center || !centres ? ulx : *shifted_by_halves(ulx, xdim, -1);
    header.yll = y_word ? yll : *shifted_by_halves(uly, ydim, centres ? 1 - 2 * rows : -2 * rows);
    if (same_number(xdim, ydim)) {
        header.cellsize = xdim;
    } else {
        header.dx = xdim;
        header.dy = ydim;
    }
    return {};
}

void add_line(std::string& text, std::string_view key, const std::string& value) {
    text.append(key).append(std::string(14 - key.size(), ' ')).append(value).append("\n");
}

}  // namespace

failure parse_sidecar(std::string_view text, const std::string& path, raw_sidecar& sidecar) {
    // GDAL's ENVI driver writes its header under the same name.
    if (text.substr(0, 4) == "ENVI") {
        return {MSG_BAD_SIDECAR, path + ": an ENVI header; give --like GRID and --from FORMAT"};
    }
    const labels found = read_labels(text);
    const auto rows = whole_number(label(found, "NROWS"));
    const auto cols = whole_number(label(found, "NCOLS"));
    constexpr std::int64_t most = INT32_MAX;
    if (!rows || !cols || *rows < 1 || *cols < 1 || *rows > most || *cols > most) {
        return {MSG_BAD_SIDECAR, path + ": NROWS and NCOLS must be counts from 1"};
    }
    sidecar.header = grid_header{};
    sidecar.header.nrows = static_cast<std::int32_t>(*rows);
    sidecar.header.ncols = static_cast<std::int32_t>(*cols);
    failure f = read_format(found, path, sidecar);
    if (!f.failed()) f = check_plain_layout(found, *cols * info_of(sidecar.format).width, path);
    if (!f.failed()) f = read_placing(found, path, sidecar.header);
    if (f.failed()) return f;
    if (const auto* nodata = last_of(found, {"NODATA", "NODATA_VALUE"})) {
        sidecar.header.nodata = nodata->second.value;
    }
    return {};
}

failure read_sidecar(const std::string& path, raw_sidecar& sidecar) {
    std::FILE* file = open_named(path, "rb");
    if (file == nullptr) return {MSG_CANNOT_OPEN, path};
    std::string text(MAX_SIDECAR_BYTES + 1, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file));
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return {MSG_BAD_SIDECAR, path + ": cannot be read"};
    if (text.size() > MAX_SIDECAR_BYTES) return {MSG_BAD_SIDECAR, path + ": too long for one"};
    return parse_sidecar(text, path, sidecar);
}

std::string grid_header_text(const grid_header& header) {
    std::string text;
    add_line(text, "ncols", std::to_string(header.ncols));
    add_line(text, "nrows", std::to_string(header.nrows));
    add_line(text, header.x_center ? "xllcenter" : "xllcorner", header.xll);
    add_line(text, header.y_center ? "yllcenter" : "yllcorner", header.yll);
    if (!header.cellsize.empty()) {
        add_line(text, "cellsize", header.cellsize);
    } else {
        add_line(text, "dx", header.dx);
        add_line(text, "dy", header.dy);
    }
    if (!header.nodata.empty()) add_line(text, "NODATA_value", header.nodata);
    return text;
}
