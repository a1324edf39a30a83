#include "thread_plan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace {

constexpr std::uint64_t MB = std::uint64_t(1) << 20;

// Each row: what is known, the thresholds, and the phase and workers the plan gives.
TEST(ThreadPlan, OneDecisionFromWhatIsKnown) {
    using std::nullopt;
    constexpr auto one = thread_phase::one_thread;
    constexpr auto probing = thread_phase::probing;
    constexpr auto workers = thread_phase::workers;
    const thread_thresholds program;
    thread_thresholds forced;  // as a test forces a small regular file to switch
    forced.probe_bytes = 1;
    forced.workers_pay_from = std::chrono::nanoseconds(0);
    struct {
        const char* name;
        thread_facts facts;
        thread_thresholds when;
        thread_phase phase;
        int workers;
    } const cases[] = {
        {"one thread set", {1, false, nullopt, nullopt, MB}, program, one, 0},
        {"no thread set", {0, false, nullopt, nullopt, MB}, program, one, 0},
        {"a set count on a pipe starts at once",
         {4, false, nullopt, nullopt, MB},
         program,
         workers,
         3},
        {"at most 15 workers", {100, false, nullopt, nullopt, MB}, program, workers, 15},
        {"a file short of two worker chunks", {4, false, 2 * MB - 1, nullopt, MB}, program, one, 0},
        {"a file of two worker chunks", {4, false, 2 * MB, nullopt, MB}, program, workers, 3},
        {"no threshold of chunks", {2, false, 0, nullopt, MB}, {0}, workers, 1},
        {"picked on one core", {1, true, nullopt, nullopt, MB}, program, one, 0},
        {"picked, a file short of two probes", {2, true, 2 * MB - 1, nullopt, 0}, program, one, 0},
        {"picked, a file of two probes", {2, true, 2 * MB, nullopt, 0}, program, probing, 1},
        {"picked, a pipe probes", {8, true, nullopt, nullopt, 0}, program, probing, 7},
        {"picked, the rest just under 10 ms", {2, true, 9999999, 1.0, 0}, program, one, 0},
        {"picked, the rest 10 ms", {2, true, 10000000, 1.0, 0}, program, workers, 1},
        {"picked, a slow parse of little", {4, true, 1000, 20000.0, 0}, program, workers, 3},
        {"picked, a fast parse of much", {4, true, 100 * MB, 0.05, 0}, program, one, 0},
        {"picked, a pipe after the probe", {4, true, nullopt, 0.0, 0}, program, workers, 3},
        {"forced, probes a small file", {3, true, 5000, nullopt, 0}, forced, probing, 2},
        {"forced, switches whatever the cost", {3, true, 5000, 0.0, 0}, forced, workers, 2},
    };
    for (const auto& c : cases) {
        const thread_decision got = thread_plan(c.facts, c.when);
        EXPECT_EQ(got.phase, c.phase) << c.name;
        EXPECT_EQ(got.workers, c.workers) << c.name;
    }
}

}  // namespace
