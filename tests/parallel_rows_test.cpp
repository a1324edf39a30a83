#include "parallel_rows.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "formats.h"
#include "grid.h"
#include "test_support.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

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

// What the one-thread reader makes of body: the reference.
outcome one_thread(const std::string& body, std::int32_t nrows, std::int32_t ncols, int format,
                   bool read_error) {
    text_source source(body, 4096);
    if (read_error) fail_reads_after_first_block(source);
    memory_target out(4096);
    const failure f = move_rows(nrows, ncols, FMT_ASCII, source.reader, format, out.target);
    return {out.bytes(), f.message, f.detail};
}

outcome on_threads(const std::string& body, std::int32_t nrows, std::int32_t ncols, int format,
                   bool read_error, int threads, std::size_t chunk_bytes = 0) {
    text_source source(body, 4096);
    if (read_error) fail_reads_after_first_block(source);
    memory_target out(4096, true);
    std::vector<unsigned char> row(static_cast<std::size_t>(ncols) * 8);
    const std::optional<failure> f = move_rows_in_parallel(
        0, nrows, ncols, format, source.reader, out.target, row.data(), threads, chunk_bytes);
    EXPECT_TRUE(f.has_value());
    return {out.bytes(), f ? f->message : "", f ? f->detail : ""};
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

// Parsing on threads gives what the one-thread reader gives: the same bytes in the target, the
// same failure at the same row and column, with the grid wanting fewer, as many or more values
// than the source holds and with bad values here and there.
TEST(ParallelRows, SameOutcomeAsOneThread) {
    std::mt19937 random(20261208);
    const int formats[] = {FMT_CHAR, FMT_USHORTINT, FMT_INTEGER, FMT_FLOAT, FMT_DOUBLE};
    const std::int32_t widths[] = {1, 7, 1000, 70000};
    for (int round = 0; round < 24; ++round) {
        const std::size_t count = 150000 + random() % 100000;
        const std::string body = token_soup(random, count, round % 3 == 0);
        const int format = formats[round % std::size(formats)];
        const std::int32_t ncols = widths[round % std::size(widths)];
        const auto whole_rows = static_cast<std::int32_t>(count / static_cast<std::size_t>(ncols));
        const std::int32_t nrows = whole_rows + (round % 4) - 2;
        const bool read_error = round % 8 == 5;
        const outcome expected = one_thread(body, nrows, ncols, format, read_error);
        const std::size_t chunk_bytes = round % 2 == 0 ? 0 : 1000 + random() % 3000;
        const outcome got =
            on_threads(body, nrows, ncols, format, read_error, 1 + round % 3, chunk_bytes);
        EXPECT_EQ(got.message, expected.message) << round;
        EXPECT_EQ(got.detail, expected.detail) << round;
        EXPECT_TRUE(got.bytes == expected.bytes) << round;
    }
}

// Tokens longer than a chunk are carried through in pieces, with the values they have in place.
TEST(ParallelRows, TokensLongerThanAChunk) {
    const std::string zeros(3000000, '0');
    std::string digits;
    for (int i = 0; i < 300000; ++i)
        digits += "1234567890";
    struct {
        std::string body;
        int format;
    } const cases[] = {
        {"1 " + zeros + "123 4 ", FMT_INTEGER},
        {"1.5 0." + zeros + "1e3000001 -2 ", FMT_DOUBLE},
        {"1 " + zeros + "1x 3 ", FMT_FLOAT},   // bad, and found only at its end
        {"1 2 " + zeros + "7", FMT_SHORTINT},  // the last token, cut by the end of the file
        {zeros + "5\n" + zeros + "6\n", FMT_CHAR},
        {"1 " + digits + ".5e-2999990 2 ", FMT_DOUBLE},  // the longest short form
    };
    for (const auto& c : cases) {
        for (const bool read_error : {false, true}) {
            const outcome expected = one_thread(c.body, 1, 3, c.format, read_error);
            const outcome got =
                on_threads(c.body, 1, 3, c.format, read_error, 2, read_error ? 0 : MIN_CHUNK_BYTES);
            EXPECT_EQ(got.message, expected.message) << c.body.substr(0, 8) << read_error;
            EXPECT_EQ(got.detail, expected.detail) << c.body.substr(0, 8) << read_error;
            EXPECT_TRUE(got.bytes == expected.bytes) << c.body.substr(0, 8) << read_error;
        }
    }
}

// move_rows hands a large grid to the threads after its first megabytes, in the middle of it.
TEST(ParallelRows, LargeGridsMoveOnThreadsMidway) {
    std::mt19937 random(7);
    const std::string body = token_soup(random, 2000000, false) + " x";
    for (const std::int32_t nrows : {2000, 2001}) {
        text_source source(body);
        memory_target out(TARGET_BLOCK_SIZE, true);
        const failure f =
            move_rows(nrows, 1000, FMT_ASCII, source.reader, FMT_FLOAT, out.target, 2);
        const outcome expected = one_thread(body, nrows, 1000, FMT_FLOAT, false);
        EXPECT_EQ(f.message, expected.message);
        EXPECT_EQ(f.detail, expected.detail);
        EXPECT_TRUE(out.bytes() == expected.bytes) << nrows;
    }
}

}  // namespace
