// Decimal numbers as text, shifted by half cells without ever rounding: georeferencing read from
// one header and written into another keeps every digit it had.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Whether text is an optional sign, digits with an optional point and an optional exponent
// (within 10^±400), and nothing else.
bool is_decimal(std::string_view text);

// Whether a and b are decimals of the same value ("30", "30.0", "3e1"; "-0" and "0").
bool same_number(std::string_view a, std::string_view b);

// value + size * halves / 2, exactly, in the shortest plain decimal text ("100.625", "-3", "0");
// nothing when value or size is not a decimal.
std::optional<std::string> shifted_by_halves(std::string_view value, std::string_view size,
                                             std::int64_t halves);

// a x b in plain decimal, exactly, however far past 64 bits ("36893488113059364872").
std::string product_text(std::uint64_t a, std::uint64_t b);

// Whether text is a decimal greater than zero.
bool is_positive(std::string_view text);

// Where value lies on the lattice of points origin + k * size (size > 0): cells is the k of the
// nearest point (of the nearer to origin, half way between two), remainder what is left over in
// cells (within ±0.5, rounded to a double; 0 and exact exactly when value is a point). Nothing when
// a text is not a decimal or k is beyond 2^53.
struct lattice_offset {
    std::int64_t cells = 0;
    double remainder = 0;
    bool exact = false;
};
std::optional<lattice_offset> offset_on_lattice(std::string_view origin, std::string_view value,
                                                std::string_view size);
