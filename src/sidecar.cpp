#include "sidecar.h"

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>

#include "chars.h"
#include "formats.h"
#include "paths.h"
#include "text_number.h"

namespace {

// An exact decimal: digits (most significant first, no leading zeros; empty for zero) times ten
// to the exponent. Coordinates are shifted by half cells without ever rounding.
struct decimal {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

constexpr int EXPONENT_BOUND = 400;

void trim(decimal& d) {
    const std::size_t first = d.digits.find_first_not_of('0');
    d.digits.erase(0, first == std::string::npos ? d.digits.size() : first);
    if (d.digits.empty()) d.negative = false;
}

// An optional sign, digits with an optional point, an optional exponent; nothing else.
std::optional<decimal> parse_decimal(std::string_view text) {
    decimal d;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) d.negative = text[i++] == '-';
    bool any_digit = false;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (is_digit(text[i])) {
            d.digits += text[i];
            any_digit = true;
            if (point) --d.exponent;
        } else if (text[i] == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!any_digit) return std::nullopt;
    if (i < text.size() && (text[i] | 0x20) == 'e') {
        int exponent = 0;
        const char* end = text.data() + text.size();
        const char* at = text.data() + i + 1;
        if (at != end && *at == '+') ++at;
        const auto [ptr, ec] = std::from_chars(at, end, exponent);
        if (ec != std::errc{} || ptr != end) return std::nullopt;
        d.exponent += exponent;
    } else if (i != text.size()) {
        return std::nullopt;
    }
    if (d.exponent < -EXPONENT_BOUND || d.exponent > EXPONENT_BOUND) return std::nullopt;
    trim(d);
    return d;
}

decimal times(decimal d, std::uint64_t factor) {
    std::string product(d.digits.size() + 20, '0');
    std::uint64_t carry = 0;
    std::size_t at = product.size();
    for (std::size_t i = d.digits.size(); i-- > 0;) {
        carry += static_cast<std::uint64_t>(d.digits[i] - '0') * factor;
        product[--at] = static_cast<char>('0' + carry % 10);
        carry /= 10;
    }
    while (carry != 0) {
        product[--at] = static_cast<char>('0' + carry % 10);
        carry /= 10;
    }
    d.digits = product;
    trim(d);
    return d;
}

// The digits of d written with exponent as their last place (exponent <= d.exponent).
std::string aligned(const decimal& d, int exponent) {
    return d.digits + std::string(static_cast<std::size_t>(d.exponent - exponent), '0');
}

// a - b for digit strings of equal length with a >= b.
std::string subtract(const std::string& a, const std::string& b) {
    std::string result(a.size(), '0');
    int borrow = 0;
    for (std::size_t i = a.size(); i-- > 0;) {
        int digit = (a[i] - '0') - (b[i] - '0') - borrow;
        borrow = digit < 0 ? 1 : 0;
        result[i] = static_cast<char>('0' + digit + 10 * borrow);
    }
    return result;
}

std::string add(const std::string& a, const std::string& b) {
    std::string result(a.size() + 1, '0');
    int carry = 0;
    for (std::size_t i = a.size(); i-- > 0;) {
        const int digit = (a[i] - '0') + (b[i] - '0') + carry;
        carry = digit / 10;
        result[i + 1] = static_cast<char>('0' + digit % 10);
    }
    result[0] = static_cast<char>('0' + carry);
    return result;
}

decimal plus(const decimal& a, const decimal& b) {
    const int exponent = std::min(a.exponent, b.exponent);
    std::string x = aligned(a, exponent);
    std::string y = aligned(b, exponent);
    const std::size_t width = std::max(x.size(), y.size());
    x.insert(0, width - x.size(), '0');
    y.insert(0, width - y.size(), '0');
    decimal sum;
    sum.exponent = exponent;
    if (a.negative == b.negative) {
        sum.digits = add(x, y);
        sum.negative = a.negative;
    } else if (x >= y) {
        sum.digits = subtract(x, y);
        sum.negative = a.negative;
    } else {
        sum.digits = subtract(y, x);
        sum.negative = b.negative;
    }
    trim(sum);
    return sum;
}

std::string to_text(const decimal& d) {
    if (d.digits.empty()) return "0";
    std::string text = d.negative ? "-" : "";
    if (d.exponent >= 0) {
        return text.append(d.digits).append(static_cast<std::size_t>(d.exponent), '0');
    }
    const auto fraction_size = static_cast<std::size_t>(-d.exponent);
    std::string digits(fraction_size >= d.digits.size() ? fraction_size - d.digits.size() + 1 : 0,
                       '0');
    digits.append(d.digits);
    const std::size_t point = digits.size() - fraction_size;
    std::string_view fraction = std::string_view(digits).substr(point);
    fraction = fraction.substr(0, fraction.find_last_not_of('0') + 1);
    text.append(digits, 0, point);
    if (!fraction.empty()) text.append(".").append(fraction);
    return text;
}

// value + size * halves / 2, exactly.
std::optional<std::string> shifted(const std::string& value, const std::string& size,
                                   std::uint64_t halves) {
    const std::optional<decimal> v = parse_decimal(value);
    const std::optional<decimal> s = parse_decimal(size);
    if (!v || !s) return std::nullopt;
    decimal shift = times(*s, halves * 5);
    shift.exponent -= 1;
    return to_text(plus(*v, shift));
}

// The no-data value as the target stores it, written back as text.
std::optional<std::string> stored_nodata(const std::string& text, element_format format) {
    std::optional<std::string> shown;
    with_element_type(format, [&](auto tag) {
        using T = typename decltype(tag)::type;
        const std::string token = text + " ";  // the parsers stop at white space
        if constexpr (std::is_floating_point_v<T>) {
            const number_scan<T> scan = scan_cell_real<T>(token.c_str());
            if (!scan.ok || *scan.end != ' ') return;
            char out[64];
            const auto result = std::to_chars(out, out + sizeof out, scan.value);
            shown = std::string(out, result.ptr);
        } else {
            const number_scan<std::uint32_t> scan = scan_cell_integer(token.c_str());
            if (!scan.ok || *scan.end != ' ') return;
            shown = std::to_string(static_cast<T>(scan.value));
        }
    });
    return shown;
}

void add_line(std::string& text, std::string_view key, const std::string& value) {
    text.append(key).append(std::string(15 - key.size(), ' ')).append(value).append("\n");
}

}  // namespace

bool sidecar_supported(element_format format) {
    return info_of(format).width <= 4;
}

std::string sidecar_path(const std::string& target, const std::string& extension) {
    return held_name(native_path(target).replace_extension(extension));
}

std::string ehdr_text(const grid_header& header, element_format format) {
    const format_info& info = info_of(format);
    const auto row_bytes = std::to_string(static_cast<std::uint64_t>(header.ncols) *
                                          static_cast<unsigned>(info.width));
    std::string text;
    add_line(text, "BYTEORDER", "I");
    add_line(text, "LAYOUT", "BIL");
    add_line(text, "NROWS", std::to_string(header.nrows));
    add_line(text, "NCOLS", std::to_string(header.ncols));
    add_line(text, "NBANDS", "1");
    add_line(text, "NBITS", std::to_string(info.width * 8));
    add_line(text, "BANDROWBYTES", row_bytes);
    add_line(text, "TOTALROWBYTES", row_bytes);
    if (info.kind == element_kind::signed_integer) add_line(text, "PIXELTYPE", "SIGNEDINT");
    if (info.kind == element_kind::real) add_line(text, "PIXELTYPE", "FLOAT");

    // A cellsize line wins over dx and dy, as GDAL reads the grid.
    const std::string& xdim = header.cellsize.empty() ? header.dx : header.cellsize;
    const std::string& ydim = header.cellsize.empty() ? header.dy : header.cellsize;
    if (!header.xll.empty() && !header.yll.empty() && !xdim.empty() && !ydim.empty()) {
        // The centre of the upper-left cell: half a cell in from the lower-left corner, and
        // nrows - 1/2 cells up (nrows - 1 from the centre of the lower-left cell).
        const auto rows = static_cast<std::uint64_t>(header.nrows);
        const auto x = shifted(header.xll, xdim, header.x_center ? 0 : 1);
        const std::uint64_t up = rows == 0 ? 0 : (header.y_center ? 2 * rows - 2 : 2 * rows - 1);
        const auto y = shifted(header.yll, ydim, up);
        if (x && y && parse_decimal(xdim) && parse_decimal(ydim)) {
            add_line(text, "ULXMAP", *x);
            add_line(text, "ULYMAP", *y);
            add_line(text, "XDIM", xdim);
            add_line(text, "YDIM", ydim);
        }
    }
    if (!header.nodata.empty()) {
        if (const auto nodata = stored_nodata(header.nodata, format)) {
            add_line(text, "NODATA", *nodata);
        }
    }
    return text;
}

failure write_sidecars(const grid_header& header, element_format format,
                       const std::string& source_prj, const std::string& target) {
    const std::string hdr = sidecar_path(target, ".hdr");
    {
        std::ofstream out(native_path(hdr), std::ios::binary | std::ios::trunc);
        out << ehdr_text(header, format);
        out.close();
        if (!out) return {MSG_WRITE_ERROR, hdr};
    }
    const std::string target_prj = sidecar_path(target, ".prj");
    std::error_code error;
    const std::filesystem::path from = native_path(source_prj);
    const std::filesystem::path to = native_path(target_prj);
    if (source_prj.empty() || !std::filesystem::is_regular_file(from, error)) {
        // A .prj left from an earlier run would give the new cells a projection they lack.
        const auto found = std::filesystem::symlink_status(to, error);
        if (!std::filesystem::exists(found) || std::filesystem::is_directory(found)) return {};
        if (!std::filesystem::remove(to, error) || error) return {MSG_WRITE_ERROR, target_prj};
        return {};
    }
    if (std::filesystem::equivalent(from, to, error)) return {};
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    if (error) return {MSG_WRITE_ERROR, target_prj};
    return {};
}
