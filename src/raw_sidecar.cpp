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

using labels = std::map<std::string, std::string, std::less<>>;

// Each line's first word, upper-cased, and its second; lines of fewer words say nothing.
labels read_labels(std::string_view text) {
    labels found;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
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
        found.emplace(std::move(key), value);  // the first of a repeated label counts
    }
    return found;
}

const std::string* label(const labels& found, std::string_view key) {
    const auto at = found.find(key);
    return at == found.end() ? nullptr : &at->second;
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
    const bool float_grid =
        nbits == nullptr && type.empty() &&
        (label(found, "CELLSIZE") || label(found, "XLLCORNER") || label(found, "XLLCENTER"));
    std::optional<element_format> format;
    std::string why;
    if (float_grid) {
        format = FMT_FLOAT;
        sidecar.format_words = "a float-grid header";
    } else {
        const std::optional<std::int64_t> bits = nbits ? whole_number(nbits) : 8;
        if (!bits) return {MSG_BAD_SIDECAR, path + ": NBITS " + *nbits};
        format = format_of(*bits, type, why);
        sidecar.format_words = "NBITS " + std::to_string(*bits);
        if (!type.empty()) sidecar.format_words += " PIXELTYPE " + type;
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

// The float-grid form's corners and cell size as written; the EHdr form's from the centre of the
// upper-left cell, exactly; GDAL's defaults for whatever of those four a sidecar leaves out.
failure read_placing(const labels& found, const std::string& path, grid_header& header) {
    const std::string* xll = label(found, "XLLCORNER");
    const std::string* xllc = label(found, "XLLCENTER");
    const std::string* yll = label(found, "YLLCORNER");
    const std::string* yllc = label(found, "YLLCENTER");
    const std::string* cellsize = label(found, "CELLSIZE");
    if (xll || xllc || yll || yllc || cellsize) {
        header.x_center = xll == nullptr && xllc != nullptr;
        header.y_center = yll == nullptr && yllc != nullptr;
        header.xll = xll ? *xll : xllc ? *xllc : "";
        header.yll = yll ? *yll : yllc ? *yllc : "";
        header.cellsize = cellsize ? *cellsize : "";
        for (const std::string* value : {&header.xll, &header.yll, &header.cellsize}) {
            if (!is_decimal(*value)) {
                return {MSG_BAD_SIDECAR, path + ": the corner and CELLSIZE must be numbers"};
            }
        }
        return {};
    }
    const std::string* ulx = label(found, "ULXMAP");
    const std::string* uly = label(found, "ULYMAP");
    const std::string* xdim = label(found, "XDIM");
    const std::string* ydim = label(found, "YDIM");
    if (!ulx && !uly && !xdim && !ydim) {
        // No georeferencing: GDAL writes such a grid with its corner at (0, 0) and cells of 1.
        header.xll = header.yll = "0";
        header.cellsize = "1";
        return {};
    }
    const std::string x_size = xdim ? *xdim : "1";
    const std::string y_size = ydim ? *ydim : "1";
    const auto x = shifted_by_halves(ulx ? *ulx : "0.5", x_size, -1);
    const auto y =
        shifted_by_halves(uly ? *uly : "0.5", y_size, 1 - 2 * std::int64_t(header.nrows));
    if (!x || !y || !is_decimal(x_size) || !is_decimal(y_size)) {
        return {MSG_BAD_SIDECAR, path + ": ULXMAP, ULYMAP, XDIM and YDIM must be numbers"};
    }
    header.xll = *x;
    header.yll = *y;
    if (x_size == y_size) {
        header.cellsize = x_size;
    } else {
        header.dx = x_size;
        header.dy = y_size;
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
    const std::string* nodata = label(found, "NODATA");
    if (nodata == nullptr) nodata = label(found, "NODATA_VALUE");
    if (nodata != nullptr) sidecar.header.nodata = *nodata;
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
