// Differential check of the cell parsers. A token is accepted exactly when it has one of the
// documented forms (checked here by regular expressions, independently of the parsers); accepted
// reals equal the C library's strtof and strtod bit for bit, accepted integers a plain modular
// reference; and the short form kept for tokens longer than the reader's block has the same value.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "long_token_pieces.h"
#include "text_number.h"

namespace {

const std::regex real_form(R"([+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?)");
const std::regex word_form(R"([+-]?(inf|infinity|nan))", std::regex::icase);
const std::regex integer_form(R"([+-]?([0-9]+(\.0*)?|\.0+))");

template <typename T>
bool same_bits(T a, T b) {
    if (std::isnan(a) && std::isnan(b)) return std::signbit(a) == std::signbit(b);
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

template <typename T>
bool whole(const number_scan<T>& scan, const std::string& token) {
    return scan.ok && scan.end == token.c_str() + token.size();
}

template <typename T>
void check_real(const std::string& token, std::size_t piece) {
    const number_scan<T> scan = scan_cell_real<T>(token.c_str());
    const bool accepted = whole(scan, token);
    const bool numeric = std::regex_match(token, real_form);
    if (accepted != (numeric || std::regex_match(token, word_form))) __builtin_trap();
    if (!accepted) return;
    const T reference = sizeof(T) == 4 ? T(std::strtof(token.c_str(), nullptr))
                                       : T(std::strtod(token.c_str(), nullptr));
    if (!same_bits(scan.value, reference)) __builtin_trap();
    if (!numeric) return;
    const std::string short_form = shortened(token, false, piece);
    const number_scan<T> again = scan_cell_real<T>(short_form.c_str());
    if (!whole(again, short_form) || !same_bits(again.value, scan.value)) __builtin_trap();
}

void check_integer(const std::string& token, std::size_t piece) {
    const number_scan<std::uint32_t> scan = scan_cell_integer(token.c_str());
    const bool accepted = whole(scan, token);
    if (accepted != std::regex_match(token, integer_form)) __builtin_trap();
    if (!accepted) return;
    std::uint64_t magnitude = 0;
    for (const char c : token.substr(0, token.find('.'))) {
        if (c >= '0' && c <= '9')
            magnitude = (magnitude * 10 + std::uint64_t(c - '0')) % 4294967296u;
    }
    const std::uint64_t expected =
        token[0] == '-' ? (4294967296u - magnitude) % 4294967296u : magnitude;
    if (scan.value != expected) __builtin_trap();
    const std::string short_form = shortened(token, true, piece);
    const number_scan<std::uint32_t> again = scan_cell_integer(short_form.c_str());
    if (!whole(again, short_form) || again.value != scan.value) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 4096) return 0;
    const std::size_t piece = 1 + data[0] % 16;
    std::string token(reinterpret_cast<const char*>(data + 1), size - 1);
    // A token as the reader hands it over: no white space, no NUL inside.
    const auto stop =
        std::find_if(token.begin(), token.end(), [](char c) { return c == '\0' || is_space(c); });
    token.erase(stop, token.end());
    check_real<float>(token, piece);
    check_real<double>(token, piece);
    check_integer(token, piece);
    return 0;
}
