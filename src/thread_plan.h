// When the threads that transform chunks start: one pure decision from what is known of the
// source and of the parse's cost, its thresholds passed in, so that a table drives it in the
// tests and a test can start the workers on small inputs.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// Where a run stands with its workers.
enum class thread_phase {
    one_thread,  // the converting thread transforms every chunk itself, to the end
    probing,     // it transforms alone, timing its parse, and asks the plan again
    workers,     // workers start now and take chunks to the end
};

// The sizes and times that decide; the defaults are the program's.
struct thread_thresholds {
    // A regular file with fewer chunks than this left is moved on one thread: starting others
    // would cost more than they give.
    std::uint64_t threads_from_chunks = 2;
    // Where the workers are picked, the converting thread parses the first chunk and then
    // probe_bytes more alone, timing the latter (the first pays for cold caches), and starts them
    // only when what is left would take longer than workers_pay_from to parse on one thread:
    // below that, handing the text to another core and its values back costs more than the second
    // core gives. Measured on two cores, with the parse of what is left estimated at (one thread,
    // two threads): one- and two-digit cells, 7 ms (21 ms, 25 ms), 13 ms (36 ms, 35 ms), 45 ms
    // (102 ms, 84 ms); short integers, 6 ms (12.4 ms, 12.3 ms), 11 ms (20 ms, 18 ms); decimals,
    // 8.5 ms (17 ms either), 17 ms (31 ms, 28 ms).
    std::uint64_t probe_bytes = std::uint64_t(1) << 20;
    std::chrono::nanoseconds workers_pay_from = std::chrono::milliseconds(10);
};

// What is known when the plan is asked: before the first chunk, and again after the probe.
struct thread_facts {
    int threads = 1;    // the most that transform, the converting thread among them
    bool pick = false;  // threads is the most: workers start only where the probe says they pay
    std::optional<std::uint64_t> bytes_left;  // of the source; none for a pipe
    // The converting thread's parse of the probe, in nanoseconds a byte; none before it.
    std::optional<double> cost_per_byte;
    std::uint64_t worker_chunk = 0;  // bytes of a chunk once workers run
};

struct thread_decision {
    thread_phase phase = thread_phase::one_thread;
    int workers = 0;  // besides the converting thread: those to start, or that may start
};

// The workers threads asks for besides the converting thread: 0 to 15.
int workers_for(int threads);

// The phase a run goes into. A count that is set starts its workers at once, unless a regular
// file has fewer than threads_from_chunks worker chunks left; a picked count probes first, unless
// fewer than threads_from_chunks probes are left, and then starts them where the rest would take
// workers_pay_from or longer on one thread, and always for a pipe (a thread costs a fraction of a
// millisecond to start).
thread_decision thread_plan(const thread_facts& facts, const thread_thresholds& when);
