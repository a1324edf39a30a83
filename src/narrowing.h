// What --round, --nodata N and --strict ask of the cells on their way into a binary format: read
// reals into integers rounded, the no-data value mapped to N, and a stop at the first cell that
// would not keep its value. Pure, as the transform it belongs to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "failure.h"
#include "formats.h"
#include "text_span.h"

struct narrowing {
    bool round = false;   // integer targets read each cell as a real and round it, halves away
    bool strict = false;  // a cell that would not keep its value stops the run
    bool map_nodata = false;
    // The header's no-data value as cells are compared with it, and N: wide integers (see
    // WIDE_BEYOND) for an integer target from text, reals otherwise.
    std::int64_t nodata_wide = 0;
    std::int64_t replacement_wide = 0;
    double nodata_real = 0;
    double replacement_real = 0;
    // Where the wide no-data value lies beyond every format, cells equal to it in wide form are
    // told apart by their whole value: this text of the (rounded) integer, or at once where they
    // are written as the no-data value is.
    std::string nodata_whole;
    std::string nodata_written;
};

// An element of format (in the host's order) as text that reads back to it: integers in decimal,
// reals in their shortest form.
std::string element_text(element_format format, const unsigned char* element);

// Checks the options (replacement: N, nullptr without --nodata) against the target format before
// anything is opened, and fills plan: "Invalid no-data value for the target format:" for an N the
// format does not hold (an integer target takes every spelling of an integer, 5e0 and 5.0 as 5; a
// real one no infinity, written or overflowing), or any N for an ascii target.
failure plan_narrowing(bool round, bool strict, const std::string* replacement,
                       element_format target, narrowing& plan);

// The source's no-data text (empty for none) into plan, once the header is read, where N is to
// replace it: from text, as the target reads it (an integer target after rounding where asked);
// from elements of source, as the source stores it. "Nothing to map to the no-data value:" where
// the source has none, or one that no cell of an integer target can equal.
failure plan_nodata(const std::string& nodata, element_format source, element_format target,
                    narrowing& plan);

// The text of the value a target's cells hold for the source's no-data value nodata, as a sidecar
// says it: N where the plan maps it; from text (source ascii), nodata as the target reads it (an
// integer target after rounding where asked); from elements of source, nodata as the source stores
// it, converted as the cells are. Nothing without a no-data value, or where no cell can hold it.
std::optional<std::string> nodata_in_target(const std::string& nodata, element_format source,
                                            element_format target, const narrowing& plan);

// Whether the plan changes anything: the transform takes the plain path otherwise.
bool narrowing_asked(const narrowing& plan);

// parse_text_span with the plan applied: out needs room for 8 bytes per value. A value that would
// not keep its value stops the span there, with changed set.
span_parse narrow_text_span(const char* first, const char* last, element_format target,
                            const narrowing& plan, unsigned char* out);

// count elements of source (in the host's order) into out as target, as convert_row converts
// them, with the plan applied.
span_parse narrow_elements(element_format source, const unsigned char* elements, std::size_t count,
                           element_format target, const narrowing& plan, unsigned char* out);
