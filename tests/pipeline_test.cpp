#include "pipeline.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "conversion.h"
#include "failure.h"
#include "formats.h"
#include "mosaic.h"
#include "test_support.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

TEST(MoveRows, TextToEveryBinaryFormatIsLittleEndian) {
    const std::string body = "1 -2 300\n4 5 -9999\n";
    const std::string expected[] = {
        le_bytes<std::int8_t>({1, -2, 44, 4, 5, -15}),
        le_bytes<std::uint8_t>({1, 254, 44, 4, 5, 241}),
        le_bytes<std::int16_t>({1, -2, 300, 4, 5, -9999}),
        le_bytes<std::uint16_t>({1, 65534, 300, 4, 5, 55537}),
        le_bytes<std::int32_t>({1, -2, 300, 4, 5, -9999}),
        le_bytes<std::uint32_t>({1, 4294967294u, 300, 4, 5, 4294957297u}),
        le_bytes<std::int32_t>({1, -2, 300, 4, 5, -9999}),
        le_bytes<std::uint32_t>({1, 4294967294u, 300, 4, 5, 4294957297u}),
        le_bytes<float>({1, -2, 300, 4, 5, -9999}),
        le_bytes<double>({1, -2, 300, 4, 5, -9999}),
    };
    for (int f = 0; f < BINARY_FORMATS; ++f) {
        text_source source(body);
        memory_target out(8);  // a tiny block: rows are split over several writes
        ASSERT_FALSE(
            move_rows(2, 3, FMT_ASCII, source.reader, binary_format(f), out.target).failed())
            << f;
        EXPECT_EQ(out.bytes(), expected[f]) << f;
    }
}

// Binary elements are cut at element boundaries wherever the reads end, and an element cut short
// by the end of the input is a missing value.
TEST(MoveRows, BinarySourcesConvertThroughThePromotion) {
    std::vector<std::int16_t> many;
    for (int i = 0; i < 3000; ++i)
        many.push_back(static_cast<std::int16_t>(i * 37 - 20000));
    std::vector<std::uint32_t> widened(many.begin(), many.end());
    for (const int threads : {1, 3}) {
        text_source source(le_bytes<std::int16_t>(many) + "\x01", 16, false);
        memory_target out;
        // 1025 bytes a chunk: every cut splits an element.
        ASSERT_FALSE(move_rows(30, 100, FMT_SHORTINT, source.reader, FMT_UINTEGER, out.target,
                               {threads, MIN_CHUNK_BYTES + 1})
                         .failed());
        EXPECT_TRUE(out.bytes() == le_bytes<std::uint32_t>(widened)) << threads;
    }

    text_source floats(le_bytes<float>({1.5f, -2.75f}), 16, false);
    memory_target text;
    ASSERT_FALSE(move_rows(1, 2, FMT_FLOAT, floats.reader, FMT_ASCII, text.target).failed());
    EXPECT_EQ(text.bytes(), "1.5 -2.75\n");

    text_source short_input(le_bytes<std::int32_t>({1, 2, 3}) + "\x04\x00", 16, false);
    memory_target partial;
    const failure f = move_rows(2, 2, FMT_INTEGER, short_input.reader, FMT_DOUBLE, partial.target);
    EXPECT_EQ(f.message, "Error reading input:");
    EXPECT_EQ(f.detail, "Row: 1\tColumn: 1");
    EXPECT_EQ(partial.bytes(), le_bytes<double>({1, 2}));
}

TEST(MoveRows, FailuresNameTheRowAndColumn) {
    struct {
        const char* name;
        std::int32_t nrows, ncols;
        element_format target_format;
        std::string body;
        std::string message, detail, written;
    } const cases[] = {
        {"bad value", 3, 2, FMT_SHORTINT, "1 2\n3 x\n5 6\n",
         "Error reading input:", "Row: 1\tColumn: 1", le_bytes<std::int16_t>({1, 2})},
        {"fraction in integer", 2, 2, FMT_INTEGER, "1 2\n3.5 4\n",
         "Error reading input:", "Row: 1\tColumn: 0", le_bytes<std::int32_t>({1, 2})},
        {"input ends early", 2, 3, FMT_FLOAT, "1 2 3\n4",
         "Error reading input:", "Row: 1\tColumn: 1", le_bytes<float>({1, 2, 3})},
        {"junk after the grid is never looked at", 1, 2, FMT_CHAR, "1 2 x 3.5", "", "",
         le_bytes<std::int8_t>({1, 2})},
        {"0x1A ends a text file", 2, 2, FMT_CHAR, "1 2\n3\x1A 4",
         "Error reading input:", "Row: 1\tColumn: 1", le_bytes<std::int8_t>({1, 2})},
        {"NUL is no white space", 1, 2, FMT_CHAR, std::string("1\0 2", 4),
         "Error reading input:", "Row: 0\tColumn: 0", ""},
        {"text target without rows", 0, 2, FMT_ASCII, "1 2", "", "", ""},
        {"negative columns", 1, -1, FMT_FLOAT, "1 2", "Failure to allocate memory", "", ""},
        {"no columns", 3, 0, FMT_FLOAT, "", "", "", ""},
        {"no rows", -1, 5, FMT_FLOAT, "", "", "", ""},
    };
    for (const auto& c : cases) {
        for (const int threads : {1, 2}) {
            text_source source(c.body);
            memory_target out;
            const failure f = move_rows(c.nrows, c.ncols, FMT_ASCII, source.reader, c.target_format,
                                        out.target, {threads, 0});
            EXPECT_EQ(f.message, c.message) << c.name;
            EXPECT_EQ(f.detail, c.detail) << c.name;
            EXPECT_EQ(out.bytes(), c.written) << c.name;
        }
    }
}

// Reading a body through small blocks and small chunks, where tokens straddle block ends and some
// are longer than a block, gives the values of each token read alone.
TEST(MoveRows, BlockAndChunkSizesDoNotChangeValues) {
    std::string body;
    std::vector<double> expected;
    for (int i = 0; i < 3000; ++i) {
        std::string token = std::to_string(i * 37 % 1000) + "." + std::to_string(i % 97);
        if (i % 50 == 7) token = "1" + std::string(40, '0') + ".25e-40";  // longer than a block
        body += token + (i % 11 == 0 ? "\r\n" : (i % 5 == 0 ? "\t \n" : " "));
        expected.push_back(std::strtod(token.c_str(), nullptr));
    }
    for (std::size_t capacity = 16; capacity <= 80; capacity += 3) {
        const pipeline_settings settings{1 + static_cast<int>(capacity % 3),
                                         MIN_CHUNK_BYTES + capacity * 5};
        text_source source(body, capacity);
        memory_target out;
        ASSERT_FALSE(move_rows(30, 100, FMT_ASCII, source.reader, FMT_DOUBLE, out.target, settings)
                         .failed());
        EXPECT_TRUE(out.bytes() == le_bytes<double>(expected)) << capacity;
    }
}

// Blocks written on the converting thread or behind it on a thread of their own: the bytes, and
// the first value lost when the device is full, are the same. (A limit reached in a block written
// behind is an end-to-end case.)
TEST(MoveRows, WriteBehindChangesNothingButWhichThreadWrites) {
    std::string body;
    for (int i = 0; i < 30000; ++i)
        body += std::to_string(i) + " ";
    for (const bool behind : {false, true}) {
        const std::uint64_t after = behind ? 32000 : NO_WRITE_BEHIND;
        text_source source(body);
        memory_target out(4000, after);  // 1000 values a block, written behind after 8 blocks
        ASSERT_FALSE(
            move_rows(1000, 30, FMT_ASCII, source.reader, FMT_INTEGER, out.target).failed());
        EXPECT_EQ(writes_behind(out.target), behind);
        const std::string bytes = out.bytes();
        ASSERT_EQ(bytes.size(), 120000u) << behind;
        EXPECT_EQ(bytes.substr(119996), le_bytes<std::int32_t>({29999})) << behind;
        EXPECT_TRUE(close_target(out.target)) << behind;
        out.file = nullptr;

        std::FILE* full = std::fopen("/dev/full", "wb");
        if (full == nullptr) GTEST_SKIP() << "no /dev/full";
        text_source again(body);
        grid_target target;
        open_target(target, full, 8, behind ? 0 : NO_WRITE_BEHIND);  // full within the first row
        const failure f = move_rows(1000, 30, FMT_ASCII, again.reader, FMT_INTEGER, target);
        EXPECT_EQ(f.message, "Error writing output:") << behind;
        EXPECT_EQ(f.detail, "Row: 0\tColumn: 0") << behind;
        EXPECT_FALSE(close_target(target)) << behind;
    }
}

struct outcome {
    std::string bytes;
    std::string message;
    std::string detail;
};

// The source's reads fail once its first block was read, as on a failing disk.
void fail_reads_after_first_block(text_source& source) {
    refill(source.reader);
#ifdef _WIN32
    source.reader.fd = _open("NUL", _O_WRONLY);
#else
    source.reader.fd = open(".", O_RDONLY);  // read() of a folder fails with EISDIR
#endif
}

// body moved on threads, with chunk_bytes a chunk (0: as the program sizes them), and the writer
// behind started at once.
outcome on_threads(const std::string& body, std::int32_t nrows, std::int32_t ncols,
                   element_format format, bool read_error, int threads,
                   std::size_t chunk_bytes = 0) {
    text_source source(body, 4096);
    if (read_error) fail_reads_after_first_block(source);
    memory_target out(4096, threads > 1 ? 0 : NO_WRITE_BEHIND);
    const failure f = move_rows(nrows, ncols, FMT_ASCII, source.reader, format, out.target,
                                {threads, chunk_bytes});
    return {out.bytes(), f.message, f.detail};
}

// A soup of the tokens grids hold, valid and not, with every separator.
std::string token_soup(std::mt19937& random, std::size_t count, bool with_bad) {
    static const char* const tokens[] = {"0",
                                         "7",
                                         "-12",
                                         "+3",
                                         "255",
                                         "-9999",
                                         "3.",
                                         "107.0",
                                         "1.5",
                                         "-0.25",
                                         "1e3",
                                         "2E-2",
                                         "1520.224",
                                         "-0.0",
                                         "00042",
                                         "65536",
                                         "inf",
                                         "-NaN",
                                         "4294967296",
                                         "1520.2239990234375",
                                         "0.1000000000000000055511151231257827",
                                         "1e400",
                                         "-1e-400",
                                         "9.999999999999999e22"};
    static const char* const bad[] = {"1x", "--1", "1e", ".", "0x10", "1.5.2", "e5", "+"};
    static const char* const separators[] = {" ", "\t", "\n", "\r\n", "  \t", "\v", "\f", "\r"};
    std::string body;
    for (std::size_t i = 0; i < count; ++i) {
        const bool make_bad = with_bad && random() % 5000 == 0;
        body += make_bad ? bad[random() % std::size(bad)] : tokens[random() % std::size(tokens)];
        body += separators[random() % std::size(separators)];
    }
    return body;
}

// Any thread count and chunk size give what one thread gives: the same bytes in the target, the
// same failure at the same row and column, with the grid wanting fewer, as many or more values
// than the source holds and with bad values here and there.
TEST(MoveRows, SameOutcomeAtEveryThreadCount) {
    std::mt19937 random(20261208);
    const element_format formats[] = {FMT_CHAR, FMT_USHORTINT, FMT_INTEGER, FMT_FLOAT, FMT_DOUBLE};
    const std::int32_t widths[] = {1, 7, 1000, 70000};
    for (int round = 0; round < 24; ++round) {
        const std::size_t count = 150000 + random() % 100000;
        const std::string body = token_soup(random, count, round % 3 == 0);
        const element_format format = formats[round % std::size(formats)];
        const std::int32_t ncols = widths[round % std::size(widths)];
        const auto whole_rows = static_cast<std::int32_t>(count / static_cast<std::size_t>(ncols));
        const std::int32_t nrows = whole_rows + (round % 4) - 2;
        const bool read_error = round % 8 == 5;
        const outcome expected = on_threads(body, nrows, ncols, format, read_error, 1);
        const std::size_t chunk_bytes = round % 2 == 0 ? 0 : 1000 + random() % 3000;
        const outcome got =
            on_threads(body, nrows, ncols, format, read_error, 2 + round % 3, chunk_bytes);
        EXPECT_EQ(got.message, expected.message) << round;
        EXPECT_EQ(got.detail, expected.detail) << round;
        EXPECT_TRUE(got.bytes == expected.bytes) << round;
    }
}

#ifndef _WIN32
// source's bytes moved through a pipe with the workers picked: the pipe, whose size is unknown,
// always gets them after the first megabyte, in the middle of the grid.
outcome picked_through_pipe(const std::string& bytes, std::int32_t nrows, std::int32_t ncols,
                            element_format from, element_format to, int threads) {
    int ends[2];
    if (pipe(ends) != 0) return {"", "no pipe", ""};
    std::thread feeder([&] {
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n =
                write(ends[1], bytes.data() + at, std::min<std::size_t>(65536, bytes.size() - at));
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        close(ends[1]);
    });
    source_reader reader;
    open_reader(reader, ends[0], from == FMT_ASCII, 4096);
    memory_target out(4096, 0);
    pipeline_settings settings{threads, 0};
    settings.pick_workers = true;
    const failure f = move_rows(nrows, ncols, from, reader, to, out.target, settings);
    char rest[4096];  // what follows the grid is never read: drained, for the feeder to end
    while (read(ends[0], rest, sizeof rest) > 0) {
    }
    feeder.join();
    close(ends[0]);
    return {out.bytes(), f.message, f.detail};
}

// Where the workers are picked, the converting thread parses a chunk and a megabyte alone and may
// start them in the middle of the grid, with other chunks: through a pipe the switch happens here,
// with the carried bytes of a cut in flight. A regular file this small stays on one thread. Rows
// of elements that become text in the one thread's chunks but would not fit the shorter chunks of
// 15 workers keep the one thread.
TEST(MoveRows, WorkersPickedOnTheWayChangeNothing) {
    std::mt19937 random(20261209);
    for (const element_format format : {FMT_SHORTINT, FMT_DOUBLE}) {
        const std::string body = token_soup(random, 700000, false);
        const auto nrows = static_cast<std::int32_t>(700000 / 500);
        const outcome expected = on_threads(body, nrows, 500, format, false, 1);
        ASSERT_GT(body.size(), std::size_t(3) << 20);
        const outcome piped = picked_through_pipe(body, nrows, 500, FMT_ASCII, format, 3);
        EXPECT_EQ(piped.message, expected.message);
        EXPECT_TRUE(piped.bytes == expected.bytes);

        text_source file(body, 4096);
        memory_target picked(4096, 0);
        pipeline_settings settings{3, 0};
        settings.pick_workers = true;
        EXPECT_EQ(
            move_rows(nrows, 500, FMT_ASCII, file.reader, format, picked.target, settings).message,
            expected.message);
        EXPECT_TRUE(picked.bytes() == expected.bytes);
    }
    std::vector<float> cells(1500000);
    for (std::size_t i = 0; i < cells.size(); ++i)
        cells[i] = static_cast<float>(random() % 100000) / 8.0f;
    const std::string elements = le_bytes<float>(cells);
    for (const std::int32_t ncols : {500, 15000}) {  // 15000 floats: 60 KB a row
        const std::int32_t nrows = 1500000 / ncols;
        text_source source(elements, 4096, false);
        memory_target one(4096, NO_WRITE_BEHIND);
        const failure f = move_rows(nrows, ncols, FMT_FLOAT, source.reader, FMT_ASCII, one.target,
                                    pipeline_settings{1, 0});
        const std::string expected = one.bytes();
        const outcome piped = picked_through_pipe(elements, nrows, ncols, FMT_FLOAT, FMT_ASCII, 16);
        EXPECT_EQ(piped.message, f.message) << ncols;
        EXPECT_TRUE(piped.bytes == expected) << ncols;
    }
}
#endif

// A regular file switches to workers in the middle of the grid where the thresholds say so: after
// the first chunk and a probe of p bytes, with chunks of the program's sizes (which grow at the
// switch, the cut's carried bytes in flight) or small ones, text into values and elements into
// text, and the outcome is the one of a single thread.
TEST(MoveRows, RegularFileSwitchesToWorkersMidGrid) {
    std::mt19937 random(20261210);
    const std::string body = token_soup(random, 300000, false);
    ASSERT_GT(body.size(), std::size_t(1) << 20);
    const std::int32_t nrows = 300000 / 600;
    std::vector<float> cells(200000);
    for (std::size_t i = 0; i < cells.size(); ++i)
        cells[i] = static_cast<float>(random() % 100000) / 8.0f;
    const std::string elements = le_bytes<float>(cells);
    for (const std::uint64_t probe : {1, 3000, 300000}) {
        for (const std::size_t chunk_bytes : {std::size_t(0), std::size_t(5000)}) {
            pipeline_settings settings{3, chunk_bytes};
            settings.pick_workers = true;
            settings.thresholds.probe_bytes = probe;
            settings.thresholds.workers_pay_from = std::chrono::nanoseconds(0);
            const outcome expected = on_threads(body, nrows, 600, FMT_DOUBLE, false, 1);
            text_source file(body, 4096);
            memory_target switched(4096, 0);
            const failure f = move_rows(nrows, 600, FMT_ASCII, file.reader, FMT_DOUBLE,
                                        switched.target, settings);
            EXPECT_EQ(f.message, expected.message) << probe << " " << chunk_bytes;
            EXPECT_TRUE(switched.bytes() == expected.bytes) << probe << " " << chunk_bytes;

            text_source floats(elements, 4096, false);
            memory_target one(4096, NO_WRITE_BEHIND);
            ASSERT_FALSE(move_rows(1000, 200, FMT_FLOAT, floats.reader, FMT_ASCII, one.target,
                                   pipeline_settings{1, chunk_bytes})
                             .failed());
            text_source again(elements, 4096, false);
            memory_target text(4096, 0);
            ASSERT_FALSE(
                move_rows(1000, 200, FMT_FLOAT, again.reader, FMT_ASCII, text.target, settings)
                    .failed());
            EXPECT_TRUE(text.bytes() == one.bytes()) << probe << " " << chunk_bytes;
        }
    }
}

// RASTMILL_THREADS's text and the host's cores: a count is taken as it is, up to 1024; anything
// else asks for one per core, picked.
TEST(ThreadsFromSetting, CountOrOnePerCore) {
    struct {
        const char* setting;
        unsigned cores;
        int threads;
        bool pick;
    } const cases[] = {
        {nullptr, 4, 4, true}, {"", 4, 4, true},         {"1", 8, 1, false},
        {"3", 2, 3, false},    {"5000", 2, 1024, false}, {"0", 2, 2, true},
        {"-2", 2, 2, true},    {"many", 2, 2, true},     {nullptr, 0, 1, true},
    };
    for (const auto& c : cases) {
        const pipeline_settings got = threads_from_setting(c.setting, c.cores);
        const char* shown = c.setting != nullptr ? c.setting : "(not set)";
        EXPECT_EQ(got.threads, c.threads) << shown;
        EXPECT_EQ(got.pick_workers, c.pick) << shown;
    }
}

// Tokens longer than a chunk are carried through in pieces, with the values they have in place.
TEST(MoveRows, TokensLongerThanAChunk) {
    const std::string zeros(3000000, '0');
    std::string digits;
    for (int i = 0; i < 300000; ++i)
        digits += "1234567890";
    struct {
        std::string body;
        element_format format;
        std::string written;
    } const cases[] = {
        {"1 " + zeros + "123 4 ", FMT_INTEGER, le_bytes<std::int32_t>({1, 123, 4})},
        {"1.5 0." + zeros + "1e3000001 -2 ", FMT_DOUBLE, le_bytes<double>({1.5, 1, -2})},
        {"1 " + zeros + "1x 3 ", FMT_FLOAT, ""},  // bad, and found only at its end
        {"1 2 " + zeros + "7", FMT_SHORTINT, le_bytes<std::int16_t>({1, 2, 7})},  // cut by the end
        {zeros + "5\n" + zeros + "6\n", FMT_CHAR, ""},
        {"1 " + digits + ".5e-2999990 2 ", FMT_DOUBLE,  // the longest short form
         le_bytes<double>({1, std::strtod("1234567890.12345678901234567890", nullptr), 2})},
    };
    for (const auto& c : cases) {
        for (const bool read_error : {false, true}) {
            const outcome expected = on_threads(c.body, 1, 3, c.format, read_error, 1);
            if (!read_error) {
                EXPECT_TRUE(expected.bytes == c.written) << c.body.substr(0, 8);
            }
            for (const int threads : {1, 2}) {
                const outcome got =
                    on_threads(c.body, 1, 3, c.format, read_error, threads, MIN_CHUNK_BYTES);
                EXPECT_EQ(got.message, expected.message) << c.body.substr(0, 8) << read_error;
                EXPECT_EQ(got.detail, expected.detail) << c.body.substr(0, 8) << read_error;
                EXPECT_TRUE(got.bytes == expected.bytes) << c.body.substr(0, 8) << read_error;
            }
        }
    }
}

}  // namespace

namespace {

// Elements to text on threads, with chunks cut at whole rows (and rows wider than a chunk written
// by the sink): the same text at every thread count and chunk size, and the same failure at the
// same value when the source ends in the middle of a row.
TEST(MoveRows, ElementsToTextSameAtEveryThreadCount) {
    std::mt19937 random(5);
    std::vector<float> cells;
    for (int i = 0; i < 21000; ++i) {
        const std::uint32_t bits = static_cast<std::uint32_t>(random());
        float f;
        std::memcpy(&f, &bits, sizeof f);
        cells.push_back(i % 7 == 0 ? -9999.0f : f);
    }
    const std::string bytes = le_bytes<float>(cells);
    cell_text style{std::string("\r\n"), std::string("-9999"), {}};
    const float nodata = -9999.0f;
    std::memcpy(style.nodata_bytes, &nodata, sizeof nodata);
    for (const std::int32_t ncols : {7, 300, 3000}) {  // 3000 floats: wider than a 1 KiB chunk
        for (const std::size_t cut : {std::size_t(0), std::size_t(5)}) {
            const std::int32_t nrows = 21000 / ncols;
            std::string expected_text;
            failure expected;
            for (const int threads : {1, 2, 3}) {
                text_source source(bytes.substr(0, bytes.size() - cut), 4096, false);
                memory_target out(4096, threads > 1 ? 0 : NO_WRITE_BEHIND);
                const pipeline_settings settings{threads, threads == 1 ? 0 : MIN_CHUNK_BYTES,
                                                 &style, true};
                const failure f = move_rows(nrows, ncols, FMT_FLOAT, source.reader, FMT_ASCII,
                                            out.target, settings);
                const std::string text = out.bytes();
                if (threads == 1) {
                    expected_text = text;
                    expected = f;
                    continue;
                }
                EXPECT_EQ(f.message, expected.message) << ncols << " " << threads;
                EXPECT_EQ(f.detail, expected.detail) << ncols << " " << threads;
                EXPECT_TRUE(text == expected_text) << ncols << " " << threads;
            }
            if (cut == 0) {
                EXPECT_FALSE(expected.failed()) << ncols;
                EXPECT_EQ(std::count(expected_text.begin(), expected_text.end(), '\n'), nrows);
            } else {
                // The last row misses its last two values: cut 5 bytes is one element and a bit.
                EXPECT_EQ(expected.detail, "Row: " + std::to_string(nrows - 1) +
                                               "\tColumn: " + std::to_string(ncols - 2))
                    << ncols;
            }
        }
    }
}

}  // namespace

namespace {

// Long no-data texts, which rows become in chunks up to a length and the sink writes beyond it,
// in rows narrower and wider than a chunk, ending in a no-data cell: the same text on every
// thread count, each no-data cell its text whole.
TEST(MoveRows, LongNoDataTextsSameAtEveryThreadCount) {
    const float nodata = -9999.0f;
    for (const std::size_t zeros :
         {std::size_t(30), std::size_t(58), std::size_t(59), std::size_t(200)}) {
        cell_text style{std::string("\r\n"), "-9999." + std::string(zeros, '0'), {}};
        std::memcpy(style.nodata_bytes, &nodata, sizeof nodata);
        for (const std::int32_t ncols : {5, 3000}) {  // 3000 floats: wider than a 1 KiB chunk
            const std::int32_t nrows = 12000 / ncols;
            std::vector<float> cells;
            for (int i = 0; i < 12000; ++i)
                cells.push_back(i % 5 == 4 ? nodata : static_cast<float>(i));
            std::string expected;
            for (int i = 0; i < 12000; ++i) {
                expected += i % 5 == 4 ? style.nodata : std::to_string(i) + ".0";
                expected += (i + 1) % ncols == 0 ? "\r\n" : " ";
            }
            for (const int threads : {1, 2, 4}) {
                text_source source(le_bytes<float>(cells), 4096, false);
                memory_target out(4096, threads > 1 ? 0 : NO_WRITE_BEHIND);
                const pipeline_settings settings{threads, MIN_CHUNK_BYTES, &style, true};
                EXPECT_FALSE(move_rows(nrows, ncols, FMT_FLOAT, source.reader, FMT_ASCII,
                                       out.target, settings)
                                 .failed());
                EXPECT_TRUE(out.bytes() == expected) << zeros << " " << ncols << " " << threads;
            }
        }
    }
}

}  // namespace

namespace {

#ifdef __GLIBC__
// A file that takes no more than size bytes, as a full disk or a size limit does.
struct small_file {
    std::size_t room;
    std::FILE* file;
    explicit small_file(std::size_t size) : room(size) {
        cookie_io_functions_t calls{};
        calls.write = [](void* cookie, const char*, std::size_t count) -> ssize_t {
            std::size_t& left = *static_cast<std::size_t*>(cookie);
            const std::size_t taken = std::min(count, left);
            left -= taken;
            return static_cast<ssize_t>(taken);  // 0: a write error
        };
        file = fopencookie(&room, "w", calls);
    }
};

// The first cell of text (after the header) whose last character lies at or past size.
std::string first_cell_not_whole(const std::string& text, std::size_t header, std::size_t size,
                                 std::int32_t ncols) {
    std::uint64_t whole = 0;
    for (std::size_t i = header; i + 1 < text.size() && i < size; ++i) {
        const bool ends = text[i] != ' ' && text[i] != '\r' && text[i] != '\n' &&
                          (text[i + 1] == ' ' || text[i + 1] == '\r' || text[i + 1] == '\n');
        if (ends) ++whole;
    }
    return row_column(whole / static_cast<std::uint64_t>(ncols),
                      whole % static_cast<std::uint64_t>(ncols));
}

// Elements to text into a file that stops taking bytes anywhere, header included: the failure
// names the first cell whose text did not wholly reach it (the last cell where only the last line
// end was lost), on the text rows of chunks and on rows wider than a chunk, at every thread count,
// with and without a block written behind.
TEST(MoveRows, TextWriteFailureNamesTheFirstCellNotWhole) {
    const std::string header = "ncols x\r\nNODATA_value -9999.000000000000000000000000000000\r\n";
    cell_text style{std::string("\r\n"), "-9999.000000000000000000000000000000", {}};
    const float nodata = -9999.0f;
    std::memcpy(style.nodata_bytes, &nodata, sizeof nodata);
    for (const std::int32_t ncols : {3, 300}) {  // 300 floats: wider than a 1 KiB chunk
        const std::int32_t nrows = ncols == 3 ? 4 : 2;
        std::vector<float> cells;
        for (int i = 0; i < ncols * nrows; ++i)
            cells.push_back(i % 4 == 1 ? nodata : static_cast<float>(i) * 1.5f);
        const std::string bytes = le_bytes<float>(cells);
        std::string text;
        {
            text_source source(bytes, 4096, false);
            memory_target out;
            write_binary_row(out.target, static_cast<std::int32_t>(header.size()), FMT_UCHAR,
                             header.data());
            ASSERT_FALSE(move_rows(nrows, ncols, FMT_FLOAT, source.reader, FMT_ASCII, out.target,
                                   {1, 0, &style, true})
                             .failed());
            text = out.bytes();
        }
        std::vector<std::size_t> sizes;
        for (std::size_t size = 0; size < text.size(); size += ncols == 3 ? 1 : 13)
            sizes.push_back(size);
        for (std::size_t size = text.size() - 40; size < text.size(); ++size)
            sizes.push_back(size);
        for (const std::size_t size : sizes) {
            const std::string expected =
                size + 2 >= text.size() ? row_column(static_cast<std::uint64_t>(nrows - 1),
                                                     static_cast<std::uint64_t>(ncols - 1))
                                        : first_cell_not_whole(text, header.size(), size, ncols);
            for (const int threads : {1, 2, 4}) {
                small_file file(size);
                text_source source(bytes, 4096, false);
                grid_target target;
                open_target(target, file.file, 64, threads > 1 ? 128 : NO_WRITE_BEHIND);
                write_binary_row(target, static_cast<std::int32_t>(header.size()), FMT_UCHAR,
                                 header.data());
                const failure f =
                    move_rows(nrows, ncols, FMT_FLOAT, source.reader, FMT_ASCII, target,
                              {threads, threads > 1 ? MIN_CHUNK_BYTES : 0, &style, true});
                close_target(target);
                EXPECT_EQ(f.message, "Error writing output:") << ncols << " " << size;
                EXPECT_EQ(f.detail, expected) << ncols << " " << size << " " << threads;
            }
        }
    }
}

#endif

#ifndef _WIN32
// The tiles of a mosaic on several threads, each writing its rows, overlapping tiles waiting for
// each other: the bytes of one thread, and the first failure in list order. Here so that
// ThreadSanitizer runs it.
TEST(MoveRows, MosaicTilesOnManyThreadsAsOnOne) {
    scratch_dir dir;
    fs::create_directories(dir.path / "t");
    // A 4 x 4 lattice of 6 x 9 tiles, each overlapping its east and south neighbours by a cell.
    const auto value = [](int r, int c) { return std::to_string((r * 37 + c * 11) % 251) + ".5"; };
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            std::string text = "ncols 9\nnrows 6\nxllcorner " + std::to_string(8 * j) +
                               "\nyllcorner " + std::to_string(5 * (3 - i)) +
                               "\ncellsize 1\nNODATA_value -1\n";
            for (int r = 0; r < 6; ++r) {
                for (int c = 0; c < 9; ++c)
                    text += value(5 * i + r, 8 * j + c) + (c == 8 ? "\n" : " ");
            }
            write_file(dir / ("t/" + std::to_string(i) + std::to_string(j) + ".asc"), text);
        }
    }
    const auto run = [&](const char* threads, const std::string& target) {
        setenv("RASTMILL_THREADS", threads, 1);
        const char* argv[] = {"rastmill", "--mosaic", "double", nullptr, nullptr};
        const std::string tiles = dir / "t";
        argv[3] = tiles.c_str();
        argv[4] = target.c_str();
        const failure f = run_mosaic(read_arguments(5, argv).args, false);
        unsetenv("RASTMILL_THREADS");
        return f;
    };
    ASSERT_FALSE(run("1", dir / "one.bin").failed());
    const std::string one = read_file(dir / "one.bin");
    EXPECT_EQ(one.size(), std::size_t(21 * 33 * 8));
    for (const char* threads : {"2", "3", "8"}) {
        const failure f = run(threads, dir / "many.bin");
        ASSERT_FALSE(f.failed()) << threads << ": " << f.message << f.detail;
        EXPECT_EQ(read_file(dir / "many.bin"), one) << threads;
    }
    // Two tiles fail: whatever the threads, the first in list order is named.
    std::string bad = read_file(dir / "t/12.asc");
    bad[bad.size() - 3] = 'x';
    write_file(dir / "t/12.asc", bad);
    bad = read_file(dir / "t/31.asc");
    bad[bad.size() - 3] = 'x';
    write_file(dir / "t/31.asc", bad);
    const failure first = run("1", dir / "bad.bin");
    EXPECT_EQ(first.message, MSG_READ_ERROR);
    EXPECT_EQ(first.detail, row_column(10, 24));
    for (const char* threads : {"2", "3", "8"}) {
        const failure f = run(threads, dir / "bad.bin");
        EXPECT_EQ(f.detail, first.detail) << threads;
        EXPECT_EQ(f.hint, first.hint) << threads;
    }
    EXPECT_FALSE(fs::exists(dir.path / "bad.bin"));
}

// A gzip source of three members, inflated on its own thread while the pipeline's threads parse:
// the bytes of one thread; damaged near its end, the same message at every count. Here so that
// ThreadSanitizer runs it.
TEST(MoveRows, GzipSourceOnManyThreadsAsOnOne) {
    scratch_dir dir;
    std::string text = "ncols 300\nnrows 800\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    for (int r = 0; r < 800; ++r) {
        for (int c = 0; c < 300; ++c)
            text += std::to_string((r * 131 + c * 7) % 9973) + ".25" + (c == 299 ? "\n" : " ");
    }
    write_file(dir / "g.asc", text);
    const run_result made = run_shell(
        dir,
        "head -c 400000 g.asc | gzip > g.gz && tail -c +400001 g.asc | head -c 3 | gzip >> "
        "g.gz && tail -c +400004 g.asc | gzip >> g.gz && head -c -9 g.gz > cut.gz");
    ASSERT_EQ(made.status, 0);
    if (!program_reads("gzip (")) GTEST_SKIP() << "a build without an inflater";
    const auto run = [&](const char* threads, const std::string& source,
                         const std::string& target) {
        setenv("RASTMILL_THREADS", threads, 1);
        const char* argv[] = {"rastmill", "float", source.c_str(), target.c_str()};
        const failure f = run_conversion(read_arguments(4, argv).args, false);
        unsetenv("RASTMILL_THREADS");
        return f;
    };
    ASSERT_FALSE(run("1", dir / "g.asc", dir / "plain.bin").failed());
    const std::string plain = read_file(dir / "plain.bin");
    const failure cut = run("1", dir / "cut.gz", dir / "cut.bin");
    EXPECT_EQ(cut.message, MSG_DAMAGED_SOURCE);
    for (const char* threads : {"1", "2", "3", "8"}) {
        const failure f = run(threads, dir / "g.gz", dir / "gz.bin");
        ASSERT_FALSE(f.failed()) << threads << ": " << f.message << f.detail << f.hint;
        EXPECT_TRUE(read_file(dir / "gz.bin") == plain) << threads;
        const failure damaged = run(threads, dir / "cut.gz", dir / "cut.bin");
        EXPECT_EQ(damaged.message, cut.message) << threads;
        EXPECT_EQ(damaged.hint, cut.hint) << threads;
    }
}
#endif

}  // namespace
