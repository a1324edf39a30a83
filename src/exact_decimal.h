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
