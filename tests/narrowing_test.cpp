// --round, --nodata N and --strict: the rounding on decimal digits, each format's boundaries with
// each option alone and together at one and several threads, and raw sources.
#include "narrowing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "pipeline.h"
#include "test_support.h"
#include "text_number.h"

namespace {

TEST(Narrowing, RoundsOnTheDecimalDigits) {
    const std::int64_t beyond = static_cast<std::int64_t>(WIDE_BEYOND);
    struct {
        const char* token;
        std::optional<std::int64_t> value;  // nothing: not a number to round
    } const cases[] = {
        {"2.5", 3},
        {"-2.5", -3},
        {"0.49999999999999999999", 0},
        {"0.5", 1},
        {"-0.4", 0},
        {"1e3", 1000},
        {"1442.548", 1443},
        {"25E-1", 3},
        {"1.5e-1", 0},
        {".5", 1},
        {"+7.", 7},
        {"4294967295.5", 4294967296},
        {"-32768.5", -32769},
        {"0e999999999", 0},
        {"1e40", beyond},  // beyond every format, its low 32 bits 0
        {"-12345678901234567890", -(beyond + 12345678901234567890ull % 4294967296ull)},
        {"nan", std::nullopt},
        {"inf", std::nullopt},
        {"1e", std::nullopt},
        {".", std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string text = std::string(c.token) + " ";
        const number_scan<std::int64_t> scan = scan_cell_rounded(text.c_str());
        const bool whole = scan.ok && *scan.end == ' ';
        EXPECT_EQ(whole, c.value.has_value()) << c.token;
        if (whole && c.value) {
            EXPECT_EQ(scan.value, *c.value) << c.token;
        }
    }
}

struct narrowed_run {
    std::string bytes;  // the target
    std::string message, detail;
};

// Moves one row of text into format with the options, in chunks of a few hundred bytes.
narrowed_run narrow_row(const std::string& cells, std::int32_t ncols, element_format format,
                        bool round, bool strict, const std::string* n, int threads,
                        const std::string& nodata = "-9999") {
    narrowed_run run;
    narrowing plan;
    failure f = plan_narrowing(round, strict, n, format, plan);
    if (!f.failed()) f = plan_nodata(nodata, FMT_ASCII, format, plan);
    if (f.failed()) return {"", f.message, f.detail};
    text_source source(cells + "\n", 64);
    memory_target out(16);
    pipeline_settings settings{threads, 1024};
    settings.narrow = &plan;
    f = move_rows(1, ncols, FMT_ASCII, source.reader, format, out.target, settings);
    return {out.bytes(), f.message, f.detail};
}

// Each format at min-1, min, max, max+1, the no-data value and N: the plain run wraps, --strict
// stops at the first that would change, --nodata maps -9999 to N and refuses an N out of range.
TEST(Narrowing, FormatBoundaries) {
    struct {
        element_format format;
        std::string min, max, below, above;
        std::string n;
    } const cases[] = {
        {FMT_CHAR, "-128", "127", "-129", "128", "-1"},
        {FMT_UCHAR, "0", "255", "-1", "256", "9"},
        {FMT_SHORTINT, "-32768", "32767", "-32769", "32768", "-1"},
        {FMT_USHORTINT, "0", "65535", "-1", "65536", "9"},
        {FMT_INTEGER, "-2147483648", "2147483647", "-2147483649", "2147483648", "-1"},
        {FMT_ULONGINTEGER, "0", "4294967295", "-1", "4294967296", "9"},
    };
    for (const auto& c : cases) {
        const char* name = info_of(c.format).name.data();
        for (const int threads : {1, 2}) {
            // In range, with the no-data value: all kept, -9999 becomes N.
            const std::string inside = c.min + " " + c.max + " -9999";
            narrowed_run kept = narrow_row(inside, 3, c.format, false, true, &c.n, threads);
            narrowed_run expected = narrow_row(c.min + " " + c.max + " " + c.n, 3, c.format, false,
                                               false, nullptr, threads);
            EXPECT_EQ(kept.message, "") << name << kept.detail;
            EXPECT_EQ(kept.bytes, expected.bytes) << name;
            for (const std::string& outside : {c.below, c.above, c.n}) {
                // Beyond the range, or a valid cell equal to N: stops there, nothing written.
                const std::string row = c.min + " " + outside + " -9999";
                const narrowed_run stopped =
                    narrow_row(row, 3, c.format, false, true, &c.n, threads);
                EXPECT_EQ(stopped.message, MSG_VALUE_CHANGES) << name << " " << outside;
                EXPECT_EQ(stopped.detail, "Row: 0\tColumn: 1") << name << " " << outside;
                EXPECT_EQ(stopped.bytes, "") << name;
                // Without --strict the same row wraps as it always did.
                const narrowed_run plain =
                    narrow_row(row, 3, c.format, false, false, nullptr, threads);
                EXPECT_EQ(plain.message, "") << name;
            }
            const std::string n_beyond = c.above;
            EXPECT_EQ(narrow_row("1", 1, c.format, false, false, &n_beyond, threads).message,
                      MSG_BAD_NODATA)
                << name;
        }
    }
}

// --round with --nodata: halves and exponents rounded, the no-data value compared after rounding.
TEST(Narrowing, RoundAndMapTogether) {
    const std::string n = "0";
    for (const int threads : {1, 2}) {
        const narrowed_run run = narrow_row("-9999.4 2.5 -2.5 1e2 254.5 0.49999999999999999999", 6,
                                            FMT_SHORTINT, true, false, &n, threads);
        EXPECT_EQ(run.message, "") << run.detail;
        EXPECT_EQ(run.bytes, le_bytes<std::int16_t>({0, 3, -3, 100, 255, 0}));
        // 0.4999... rounds to 0, which --strict takes for a cell colliding with N.
        const narrowed_run strict = narrow_row("-9999.4 2.5 -2.5 1e2 254.5 0.49999999999999999999",
                                               6, FMT_SHORTINT, true, true, &n, threads);
        EXPECT_EQ(strict.message, MSG_VALUE_CHANGES);
        EXPECT_EQ(strict.detail, "Row: 0\tColumn: 5");
        // A word is no number to round.
        EXPECT_EQ(narrow_row("1 nan", 2, FMT_INTEGER, true, false, nullptr, threads).message,
                  MSG_READ_ERROR);
    }
}

// Reals: --strict stops at a finite decimal that overflows, not at inf written as such; the
// no-data value is compared after conversion to the target.
TEST(Narrowing, RealTargets) {
    const std::string n = "nan";
    for (const int threads : {1, 2}) {
        const narrowed_run run =
            narrow_row("-9999.0000001 inf -inf 3.4e38", 4, FMT_FLOAT, false, true, &n, threads);
        EXPECT_EQ(run.message, "") << run.detail;
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float inf = std::numeric_limits<float>::infinity();
        EXPECT_EQ(run.bytes, le_bytes<float>({nan, inf, -inf, 3.4e38f}));
        const narrowed_run over =
            narrow_row("1 inf 3.5e38", 3, FMT_FLOAT, false, true, &n, threads);
        EXPECT_EQ(over.detail, "Row: 0\tColumn: 2");
        EXPECT_EQ(narrow_row("1 1e309", 2, FMT_DOUBLE, false, true, nullptr, threads).detail,
                  "Row: 0\tColumn: 1");
        EXPECT_EQ(narrow_row("1 1e309", 2, FMT_DOUBLE, false, false, nullptr, threads).message, "");
    }
}

// Tokens longer than a chunk reach the checks with their range and their first decimal.
TEST(Narrowing, TokensLongerThanAChunk) {
    const std::string huge = "4294967296" + std::string(3000, '0');       // 0 modulo 2^32
    const std::string small = "0000" + std::string(3000, '0') + "17";     // 17
    const std::string almost_half = "0." + std::string(3000, '4') + "9";  // rounds to 0
    for (const int threads : {1, 2}) {
        EXPECT_EQ(narrow_row("1 " + huge, 2, FMT_INTEGER, false, false, nullptr, threads).bytes,
                  le_bytes<std::int32_t>({1, 0}));
        EXPECT_EQ(narrow_row("1 " + huge, 2, FMT_INTEGER, false, true, nullptr, threads).detail,
                  "Row: 0\tColumn: 1");
        EXPECT_EQ(narrow_row(small + " " + almost_half + " 2.5", 3, FMT_CHAR, true, true, nullptr,
                             threads)
                      .bytes,
                  le_bytes<std::int8_t>({17, 0, 3}));
    }
}

// N is a value of the target, checked before anything is opened: every spelling of an integer for
// an integer target, no infinity (written or overflowing) for a real one.
TEST(Narrowing, ReplacementIsAValueOfTheTarget) {
    struct {
        element_format format;
        std::string n;
        std::string refusal;  // the detail, empty where N is taken
        double value;
    } const cases[] = {
        {FMT_UCHAR, "5", "", 5},
        {FMT_UCHAR, "5e0", "", 5},
        {FMT_UCHAR, "+5", "", 5},
        {FMT_UCHAR, "5.0", "", 5},
        {FMT_UCHAR, "50e-1", "", 5},
        {FMT_UCHAR, "0.5E1", "", 5},
        {FMT_UCHAR, ".5e1", "", 5},
        {FMT_UCHAR, "-0", "", 0},
        {FMT_UCHAR, "0e999999999999", "", 0},
        {FMT_CHAR, "-128.000", "", -128},
        {FMT_INTEGER, "-2147483648e0", "", -2147483648.0},
        {FMT_UCHAR, "256e0", "256e0 (uchar holds 0 to 255)", 0},
        {FMT_UCHAR, "1e3", "1e3 (uchar holds 0 to 255)", 0},
        {FMT_UCHAR, "1e999999", "1e999999 (uchar holds 0 to 255)", 0},
        {FMT_UCHAR, "5.5", "5.5 (write an integer: uchar holds 0 to 255)", 0},
        {FMT_UCHAR, "51e-1", "51e-1 (write an integer: uchar holds 0 to 255)", 0},
        {FMT_SHORTINT, "0x5", "0x5 (write an integer: shortint holds -32768 to 32767)", 0},
        {FMT_SHORTINT, "nan", "nan (write an integer: shortint holds -32768 to 32767)", 0},
        {FMT_SHORTINT, "5e", "5e (write an integer: shortint holds -32768 to 32767)", 0},
        {FMT_SHORTINT, "", " (write an integer: shortint holds -32768 to 32767)", 0},
        {FMT_DOUBLE, "1e309", "1e309 (not a finite double)", 0},
        {FMT_DOUBLE, "-1e309", "-1e309 (not a finite double)", 0},
        {FMT_DOUBLE, "inf", "inf (not a finite double)", 0},
        {FMT_FLOAT, "-Infinity", "-Infinity (not a finite float)", 0},
        {FMT_FLOAT, "1e39", "1e39 (not a finite float)", 0},
        {FMT_FLOAT, "3.4e38", "", 3.4e38f},
        {FMT_DOUBLE, "1.7976931348623157e308", "", 1.7976931348623157e308},
    };
    for (const auto& c : cases) {
        narrowing plan;
        const failure f = plan_narrowing(false, false, &c.n, c.format, plan);
        EXPECT_EQ(f.detail, c.refusal) << c.n;
        if (c.refusal.empty()) {
            EXPECT_EQ(plan.replacement_real, c.value) << c.n;
        } else {
            EXPECT_EQ(f.message, MSG_BAD_NODATA) << c.n;
        }
    }
}

// A raw source's reals rounded to integers: halves away from zero, as text rounds, never cut.
TEST(Narrowing, RawRealsRoundToNearest) {
    // Every one exact in a float too.
    const std::vector<double> cells = {2.5, -2.5, 1.75, -1.75, 0.25, 1e6 + 0.5, -0.5};
    const std::vector<std::int32_t> rounded = {3, -3, 2, -2, 0, 1000001, -1};
    for (const element_format source : {FMT_DOUBLE, FMT_FLOAT}) {
        std::vector<unsigned char> elements;
        for (const double cell : cells) {
            unsigned char bytes[8];
            if (source == FMT_FLOAT) {
                const auto value = static_cast<float>(cell);
                std::memcpy(bytes, &value, sizeof value);
            } else {
                std::memcpy(bytes, &cell, sizeof cell);
            }
            elements.insert(elements.end(), bytes, bytes + width_of(source));
        }
        narrowing plan;
        ASSERT_FALSE(plan_narrowing(true, false, nullptr, FMT_INTEGER, plan).failed());
        std::vector<std::int32_t> out(cells.size());
        const span_parse done = narrow_elements(source, elements.data(), cells.size(), FMT_INTEGER,
                                                plan, reinterpret_cast<unsigned char*>(out.data()));
        EXPECT_EQ(done.values, cells.size());
        EXPECT_EQ(out, rounded) << info_of(source).name;
    }
}

// The no-data value a sidecar gives is what the cells hold for the source's: N where given; from
// text as the target reads it, rounded where asked; from elements as the source stores it,
// converted (or rounded) as the cells are.
TEST(Narrowing, NoDataAsTheTargetHoldsIt) {
    const std::string seventy = "-9999." + std::string(64, '0');
    struct {
        std::string nodata;
        element_format source, target;
        bool round;
        std::optional<std::string> n;
        std::optional<std::string> held;  // nothing: no cell holds it
    } const cases[] = {
        {"-9999", FMT_ASCII, FMT_CHAR, false, {}, "-15"},
        {"-9999", FMT_ASCII, FMT_UCHAR, false, {}, "241"},
        {"-9999", FMT_CHAR, FMT_SHORTINT, false, {}, "-15"},
        {"-9999", FMT_UCHAR, FMT_INTEGER, false, {}, "241"},
        {"-9999", FMT_UCHAR, FMT_UCHAR, false, {}, "241"},
        {"-9999", FMT_UCHAR, FMT_FLOAT, false, {}, "241"},
        {"-9999.5", FMT_ASCII, FMT_SHORTINT, true, {}, "-10000"},
        {"-9999.5", FMT_ASCII, FMT_SHORTINT, false, {}, std::nullopt},
        {"-9999.5", FMT_FLOAT, FMT_SHORTINT, false, {}, "-9999"},
        {"-9999.5", FMT_FLOAT, FMT_SHORTINT, true, {}, "-10000"},
        {"-9999.5", FMT_DOUBLE, FMT_CHAR, true, {}, "-16"},
        {"-9999.5", FMT_ASCII, FMT_FLOAT, false, {}, "-9999.5"},
        {"-3.4e+38", FMT_ASCII, FMT_SHORTINT, true, {}, "0"},
        {"1e300", FMT_DOUBLE, FMT_FLOAT, false, {}, "inf"},
        {"5e0", FMT_ASCII, FMT_UCHAR, true, {}, "5"},
        {"5e0", FMT_ASCII, FMT_UCHAR, false, {}, std::nullopt},
        {"+5", FMT_ASCII, FMT_CHAR, false, {}, "5"},
        {"-0", FMT_ASCII, FMT_FLOAT, false, {}, "-0"},
        {"-0", FMT_ASCII, FMT_INTEGER, false, {}, "0"},
        {"nan", FMT_ASCII, FMT_DOUBLE, false, {}, "nan"},
        {"nan", FMT_ASCII, FMT_INTEGER, true, {}, std::nullopt},
        {seventy, FMT_ASCII, FMT_CHAR, false, {}, "-15"},
        {seventy + "1", FMT_ASCII, FMT_CHAR, true, {}, "-15"},
        {seventy + "1", FMT_ASCII, FMT_DOUBLE, false, {}, "-9999"},
        {"", FMT_ASCII, FMT_CHAR, false, {}, std::nullopt},
        {"-9999", FMT_ASCII, FMT_UCHAR, false, "7", "7"},
        {"-9999.5", FMT_FLOAT, FMT_SHORTINT, true, "5e0", "5"},
        {"-9999", FMT_CHAR, FMT_FLOAT, false, "-1e-45", "-1e-45"},
        {"-9999", FMT_ASCII, FMT_ASCII, false, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string* n = c.n ? &*c.n : nullptr;
        narrowing plan;
        failure f = plan_narrowing(c.round, false, n, c.target, plan);
        if (!f.failed()) f = plan_nodata(c.nodata, c.source, c.target, plan);
        EXPECT_FALSE(f.failed()) << c.nodata << f.detail;
        EXPECT_EQ(nodata_in_target(c.nodata, c.source, c.target, plan), c.held)
            << c.nodata << " into " << info_of(c.target).name;
    }
}

// Where no cell can equal the source's no-data value, the refusal says why: the value as the
// cells are read (the source's elements, or the target's kind from text).
TEST(Narrowing, NothingToMapSaysWhy) {
    struct {
        std::string nodata;
        element_format source, target;
        bool round;
        std::string detail;
    } const cases[] = {
        {"-9999.5", FMT_INTEGER, FMT_CHAR, false, "NODATA_value -9999.5 is no integer"},
        {"-9999.5", FMT_ASCII, FMT_CHAR, false, "NODATA_value -9999.5 is no integer"},
        {"none", FMT_FLOAT, FMT_CHAR, false, "NODATA_value none is no number"},
        {"none", FMT_ASCII, FMT_FLOAT, false, "NODATA_value none is no number"},
        {"", FMT_ASCII, FMT_FLOAT, false, "the source has no NODATA_value"},
        {"-9999.5", FMT_FLOAT, FMT_CHAR, false, ""},
        {"-9999.5", FMT_ASCII, FMT_CHAR, true, ""},
    };
    const std::string n = "1";
    for (const auto& c : cases) {
        narrowing plan;
        failure f = plan_narrowing(c.round, false, &n, c.target, plan);
        if (!f.failed()) f = plan_nodata(c.nodata, c.source, c.target, plan);
        EXPECT_EQ(f.detail, c.detail) << c.nodata;
        EXPECT_EQ(f.message, c.detail.empty() ? "" : MSG_NOTHING_TO_MAP) << c.nodata;
    }
}

// A cell and the no-data value are compared on their whole value: beyond every format, sharing
// the low 32 bits makes no cell the no-data value.
TEST(Narrowing, NoDataComparedOnTheWholeValue) {
    const std::string n = "7";
    const std::string big = "340000000000000000000000000000000000000";
    struct {
        std::string nodata, cells;
        element_format format;
        bool round;
        std::string wrapped;  // without --strict; with it the run stops at the second cell
    } const cases[] = {
        {"-3.4e+38", "-3.4e+38 -1e+38 -" + big + ".4 5", FMT_SHORTINT, true,
         le_bytes<std::int16_t>({7, 0, 7, 5})},
        {"-3.4e+38", "-" + big + " -" + big + "1 -34e37 5", FMT_SHORTINT, true,
         le_bytes<std::int16_t>({7, -1, 7, 5})},
        {"1099511627776", "1099511627776 1103806595072 1099511627776.0 5", FMT_INTEGER, false,
         le_bytes<std::int32_t>({7, 0, 7, 5})},
        {"-1099511627776", "-1099511627776 -1103806595072 -01099511627776 5", FMT_INTEGER, false,
         le_bytes<std::int32_t>({7, 0, 7, 5})},
        {"1099511627776.4", "1099511627776 1103806595072 1.0995116277755e12 5", FMT_INTEGER, true,
         le_bytes<std::int32_t>({7, 0, 7, 5})},
        {"9" + big, "9" + big + " 8" + big + " 9" + big + " 5", FMT_ULONGINTEGER, false,
         le_bytes<std::uint32_t>({7, 0, 7, 5})},
    };
    for (const auto& c : cases) {
        for (const int threads : {1, 2}) {
            const narrowed_run plain =
                narrow_row(c.cells, 4, c.format, c.round, false, &n, threads, c.nodata);
            EXPECT_EQ(plain.message, "") << c.cells << plain.detail;
            EXPECT_EQ(plain.bytes, c.wrapped) << c.cells;
            const narrowed_run strict =
                narrow_row(c.cells, 4, c.format, c.round, true, &n, threads, c.nodata);
            EXPECT_EQ(strict.detail, "Row: 0\tColumn: 1") << c.cells;
        }
    }
}

// With --round, a token longer than a chunk wraps on its low digits as a short one does.
TEST(Narrowing, RoundedTokensLongerThanAChunk) {
    const std::string seven = "1" + std::string(300000, '0') + "7";
    const std::string minus_eight = "-1" + std::string(3000, '0') + "7.5";
    const std::string cells = seven + " 5 " + minus_eight;
    for (const int threads : {1, 2}) {
        EXPECT_EQ(narrow_row(cells, 3, FMT_INTEGER, true, false, nullptr, threads).bytes,
                  le_bytes<std::int32_t>({7, 5, -8}));
        EXPECT_EQ(narrow_row(cells, 3, FMT_INTEGER, false, false, nullptr, threads).message,
                  MSG_READ_ERROR);  // 7.5 is no integer without --round
        EXPECT_EQ(narrow_row("5 " + cells, 4, FMT_INTEGER, true, true, nullptr, threads).detail,
                  "Row: 0\tColumn: 1");
    }
}

#ifndef _WIN32
// The same from a file and from a pipe, on one thread and on several.
TEST(Narrowing, RoundedLongTokensFromFileAndPipe) {
    scratch_dir dir;
    const std::string zeros(3000000, '0');
    write_file(dir / "in.asc",
               "ncols 3\nnrows 1\nNODATA_value -9999\n1" + zeros + "7 5 -1" + zeros + "7.5\n");
    for (const std::string threads : {"1", "2", "4"}) {
        const std::string run_it =
            "RASTMILL_THREADS=" + threads + " \"$RASTMILL\" --round integer ";
        for (const std::string& command :
             {run_it + "in.asc out.bin", "cat in.asc | " + run_it + "- out.bin"}) {
            EXPECT_EQ(run_shell(dir, command).err, "") << command;
            EXPECT_EQ(read_file(dir / "out.bin"), le_bytes<std::int32_t>({7, 5, -8})) << command;
        }
    }
}

// The fixture: -9999 (the no-data value), 255, 256, -1 and 0 into uchar with --nodata 0: plain
// runs wrap as always; --strict leaves no cell that silently became N.
TEST(Narrowing, CommandLineFixture) {
    const std::string grid =
        "ncols 5\nnrows 1\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -9999\n"
        "-9999 255 256 -1 0\n";
    struct {
        std::string command;
        std::string err;
        std::optional<std::string> target;
    } const cases[] = {
        {"\"$RASTMILL\" --nodata 0 uchar in.asc out.bin", "",
         le_bytes<std::uint8_t>({0, 255, 0, 255, 0})},
        {"\"$RASTMILL\" --strict --nodata 0 uchar in.asc out.bin",
         "Value changes in the target format: Row: 0\tColumn: 2\n", ""},
        {"\"$RASTMILL\" --strict --nodata=7 --hdr shortint in.asc out.bin && grep -q 'NODATA *7' "
         "out.hdr",
         "", le_bytes<std::int16_t>({7, 255, 256, -1, 0})},
        {"\"$RASTMILL\" --nodata 256 uchar in.asc out.bin",
         "Invalid no-data value for the target format: 256 (uchar holds 0 to 255)\n", std::nullopt},
        {"sed /NODATA/d in.asc > n.asc && \"$RASTMILL\" --nodata 0 uchar n.asc out.bin",
         "Nothing to map to the no-data value: the source has no NODATA_value\n", std::nullopt},
        {"\"$RASTMILL\" --strict float in.asc f.bin && \"$RASTMILL\" --from float --like in.asc "
         "--strict --nodata 9 uchar f.bin out.bin",
         "Value changes in the target format: Row: 0\tColumn: 2\n", ""},
        {"\"$RASTMILL\" float in.asc f.bin && \"$RASTMILL\" --from float --like in.asc --nodata 9 "
         "--round uchar f.bin out.bin",
         "", le_bytes<std::uint8_t>({9, 255, 0, 255, 0})},
        {"\"$RASTMILL\" --nodata 1e309 double missing.asc out.bin",
         "Invalid no-data value for the target format: 1e309 (not a finite double)\n",
         std::nullopt},
        {"\"$RASTMILL\" --nodata 5e0 --hdr uchar in.asc out.bin && "
         "(grep -q '^NODATA *5$' out.hdr || echo no NODATA 5 >&2)",
         "", le_bytes<std::uint8_t>({5, 255, 0, 255, 0})},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir / "in.asc", grid);
        const run_result run = run_shell(dir, c.command);
        EXPECT_EQ(run.err, c.err) << c.command;
        EXPECT_EQ(fs::exists(dir / "out.bin"), c.target.has_value()) << c.command;
        if (c.target) {
            EXPECT_EQ(read_file(dir / "out.bin"), *c.target) << c.command;
        }
    }
}
#endif

}  // namespace
