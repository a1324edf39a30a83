// Checks the cell parser for float and double against the numbers themselves:
//   check_floats            every finite float, printed shortest and with 9 digits, must read back
//                           to the same bits; 10^8 random doubles printed with 17 digits likewise;
//                           and exact and near midpoints between floats must match strtof.
//   check_floats --sample N the same on N random floats (and N / 10 doubles and midpoints).
// Prints what it checked, the failures (the first few of each kind) and the time taken; exits 1 on
// any failure.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "text_number.h"

namespace {

std::atomic<std::uint64_t> failures{0};

template <typename T>
std::uint64_t bits_of(T value) {
    std::uint64_t b = 0;
    std::memcpy(&b, &value, sizeof(T));
    return b;
}

template <typename T>
void check(const char* text, T expected) {
    const number_scan<T> scan = scan_cell_real<T>(text);
    if (scan.ok && *scan.end == '\0' && bits_of(scan.value) == bits_of(expected)) return;
    if (failures++ < 20) {
        std::printf("FAIL %s: read %.17g, expected %.17g\n", text, double(scan.value),
                    double(expected));
    }
}

// Prints value into text (NUL-terminated): shortest round trip, or with the given precision.
template <typename T>
void print(char* text, std::size_t size, T value, int precision = 0) {
    const auto result = precision == 0 ? std::to_chars(text, text + size - 1, value)
                                       : std::to_chars(text, text + size - 1, value,
                                                       std::chars_format::general, precision);
    *result.ptr = '\0';
}

void check_float_bits(std::uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    if (!std::isfinite(f)) return;
    char text[64];
    print(text, sizeof text, f);
    check(text, f);
    print(text, sizeof text, f, 9);
    check(text, f);
}

// The exact midpoint between a float and the next one up, and numbers just off it: where reading
// through double would round twice.
void check_midpoints(float f) {
    const float next = std::nextafter(f, INFINITY);
    if (!std::isfinite(next)) return;
    const double midpoint = (double(f) + double(next)) / 2;  // exact in double
    char text[256];
    const auto exact =
        std::to_chars(text, text + 200, midpoint, std::chars_format::scientific, 120);
    *exact.ptr = '\0';
    check(text, std::strtof(text, nullptr));
    // Just above: a 1 far down in the digits, before the exponent.
    char above[260];
    const char* mark = std::strchr(text, 'e');
    const auto head = static_cast<std::size_t>(mark - text);
    std::memcpy(above, text, head);
    above[head] = '1';
    std::strcpy(above + head + 1, mark);
    check(above, std::strtof(above, nullptr));
    for (const int digits : {9, 12, 17, 20}) {
        char cut[64];
        print(cut, sizeof cut, midpoint, digits);
        check(cut, std::strtof(cut, nullptr));
    }
}

void check_double(std::uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    if (!std::isfinite(d)) return;
    char text[64];
    print(text, sizeof text, d, 17);
    check(text, d);
}

// A well-mixed 64-bit value for each index, cheap enough to draw billions.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

template <typename F>
void in_parallel(std::uint64_t count, F work) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([=] {
            for (std::uint64_t i = t; i < count; i += threads)
                work(i);
        });
    }
    for (auto& thread : pool)
        thread.join();
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t sample = 0;
    if (argc == 3 && std::strcmp(argv[1], "--sample") == 0)
        sample = std::strtoull(argv[2], nullptr, 10);
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t floats = sample != 0 ? sample : std::uint64_t(1) << 32;
    const std::uint64_t doubles = sample != 0 ? sample / 10 : 100'000'000;
    const std::uint64_t midpoints = sample != 0 ? sample / 10 : 10'000'000;

    in_parallel(floats, [&](std::uint64_t i) {
        check_float_bits(sample != 0 ? std::uint32_t(mix(i)) : std::uint32_t(i));
    });
    in_parallel(doubles, [](std::uint64_t i) { check_double(mix(i + (std::uint64_t(1) << 40))); });
    in_parallel(midpoints, [](std::uint64_t i) {
        std::uint32_t b = std::uint32_t(mix(i + (std::uint64_t(1) << 41))) & 0x7fffffffu;
        float f;
        std::memcpy(&f, &b, sizeof f);
        check_midpoints(f);
    });

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "%s: %llu float bit patterns (finite ones, shortest and 9 digits), %llu doubles "
        "(17 digits), %llu float midpoints (6 forms each): %llu failures, %.1f s\n",
        sample != 0 ? "sampled" : "exhaustive", static_cast<unsigned long long>(floats),
        static_cast<unsigned long long>(doubles), static_cast<unsigned long long>(midpoints),
        static_cast<unsigned long long>(failures.load()), seconds);
    return failures.load() == 0 ? 0 : 1;
}
