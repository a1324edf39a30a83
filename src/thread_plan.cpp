#include "thread_plan.h"

#include <algorithm>

namespace {

constexpr int MAX_WORKERS = 15;  // with the converting thread, 16 parse at most

}  // namespace

int workers_for(int threads) {
    return std::clamp(threads - 1, 0, MAX_WORKERS);
}

thread_decision thread_plan(const thread_facts& facts, const thread_thresholds& when) {
    const int workers = workers_for(facts.threads);
    const thread_decision alone{thread_phase::one_thread, 0};
    const std::optional<std::uint64_t>& left = facts.bytes_left;
    if (workers == 0) return alone;
    if (!facts.pick) {
        if (left && *left < when.threads_from_chunks * facts.worker_chunk) return alone;
        return {thread_phase::workers, workers};
    }
    if (!facts.cost_per_byte) {
        if (left && *left < when.threads_from_chunks * when.probe_bytes) return alone;
        return {thread_phase::probing, workers};
    }
    const double estimate = *facts.cost_per_byte * static_cast<double>(left.value_or(0));
    if (left && estimate < static_cast<double>(when.workers_pay_from.count())) return alone;
    return {thread_phase::workers, workers};
}
