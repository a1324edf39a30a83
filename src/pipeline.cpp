#include "pipeline.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "byte_order.h"
#include "chunks.h"
#include "row_sink.h"
#include "text_span.h"

namespace {

// What the chunks' bytes and values may take together, and the bounds of one chunk's bytes. Each
// page of them is faulted in once a run, at about 11 us a page on a virtual machine: on two cores
// a budget of 1 MiB took 685 faults and 71 ms for 87 MB of Int16 text, 6 MiB took 1,565 and 91 ms.
constexpr std::size_t CHUNK_BUDGET = std::size_t(1) << 20;
constexpr std::size_t MIN_CHUNK = std::size_t(32) << 10;
constexpr std::size_t MAX_CHUNK = std::size_t(1) << 20;
// The chunk of a run on one thread: small enough that its text is still in the cache when its
// values are put into the target.
constexpr std::size_t INLINE_CHUNK = std::size_t(256) << 10;
// The longest no-data text that rows become in a chunk; the sink writes rows with a longer one.
constexpr std::size_t LONGEST_TEXT_IN_CHUNKS = 64;

// What a chunk becomes: text parsed into values, or binary elements converted into them. Pure: it
// knows nothing of files, threads or messages.
struct transform {
    element_format source;  // FMT_ASCII for text
    element_format values;  // binary
    // Elements into the text of whole rows of ncols, when chunks hold whole rows; else nullptr.
    const cell_text* rows_as_text = nullptr;
    std::int32_t ncols = 0;
    std::endian stored = std::endian::little;  // a binary source's byte order
    const narrowing* narrow = nullptr;         // only where it changes anything
};

// [first, last) into out; text_size is the length of the text, when the values become text.
span_parse transform_chunk(const transform& job, char* first, char* last, unsigned char* out,
                           std::size_t& text_size) {
    if (job.source == FMT_ASCII) {
        if (job.narrow != nullptr)
            return narrow_text_span(first, last, job.values, *job.narrow, out);
        return parse_text_span(first, last, job.values, out);
    }
    const std::size_t width = width_of(job.source);
    const std::size_t count = static_cast<std::size_t>(last - first) / width;
    auto* elements = reinterpret_cast<unsigned char*>(first);
    swap_to_host(elements, count, width, job.stored);
    if (job.rows_as_text != nullptr) {
        text_size = format_rows(reinterpret_cast<char*>(out), job.source, elements, count,
                                job.ncols, *job.rows_as_text);
    } else if (job.narrow != nullptr) {
        return narrow_elements(job.source, elements, count, job.values, *job.narrow, out);
    } else if (job.source == job.values) {
        std::memcpy(out, elements, count * width);
    } else {
        convert_row(static_cast<std::int32_t>(count), job.source, elements, job.values, out);
    }
    return {count, false, last};
}

struct chunk {
    std::unique_ptr<char[]> bytes;            // the source's bytes, then SPAN_SLACK more
    std::unique_ptr<unsigned char[]> values;  // what the transform makes of them
    std::size_t size = 0;
    span_parse result{0, false, nullptr};
    std::size_t text_size = 0;  // of the values' text, when rows become text here
    bool parsed = false;
};

// Shared by the converting thread and the workers. slots and job are set before any worker starts
// and never change while they run. handed, claimed and each chunk's parsed flag are read and
// written only under lock. A chunk's bytes and size are written by the converting thread before
// it is handed over; its values and result by the one thread that claimed it, before parsed is
// set; the converting thread reads them once it saw parsed, and fills the slot again only after
// clearing it.
struct work_queue {
    std::mutex lock;
    std::condition_variable work;    // a chunk was handed over, or stop was set
    std::condition_variable parsed;  // a chunk was parsed
    std::vector<chunk> slots;        // chunk n lives in slots[n % slots.size()]
    transform job{FMT_ASCII, FMT_FLOAT};
    std::uint64_t handed = 0;   // chunks filled: the converting thread counts them
    std::uint64_t claimed = 0;  // chunks a thread took to transform
    bool stop = false;          // set by the converting thread as the move ends
};

chunk& slot_of(work_queue& queue, std::uint64_t n) {
    return queue.slots[static_cast<std::size_t>(n % queue.slots.size())];
}

// With the lock held and a chunk handed over but not claimed: claims it, transforms it without
// the lock, and marks it parsed.
void transform_next(work_queue& queue, std::unique_lock<std::mutex>& held) {
    chunk& c = slot_of(queue, queue.claimed++);
    held.unlock();
    c.result = transform_chunk(queue.job, c.bytes.get(), c.bytes.get() + c.size, c.values.get(),
                               c.text_size);
    held.lock();
    c.parsed = true;
    queue.parsed.notify_one();  // only the converting thread waits for it
}

// A worker: transforms chunks as they are handed over, until stop is set as the move ends.
void work(work_queue& queue) {
    std::unique_lock<std::mutex> held(queue.lock);
    for (;;) {
        queue.work.wait(held, [&] { return queue.stop || queue.claimed < queue.handed; });
        if (queue.stop) return;
        transform_next(queue, held);
    }
}

// The workers of a move: stopped and joined however the move ends, before the queue goes. A plain
// condition variable and a flag, where std::jthread's stop token with condition_variable_any lost
// a wake-up under Wine's threads now and then.
struct worker_pool {
    work_queue& queue;
    std::vector<std::thread> threads;

    ~worker_pool() {
        {
            const std::lock_guard<std::mutex> held(queue.lock);
            queue.stop = true;
        }
        queue.work.notify_all();
        for (std::thread& t : threads)
            t.join();
    }
};

// Starts up to count workers on the pool's queue.
void start_workers(worker_pool& pool, int count) {
    for (int i = 0; i < count; ++i) {
        try {
            pool.threads.emplace_back(work, std::ref(pool.queue));
        } catch (const std::exception&) {
            return;  // a process limit, or no memory for a stack: fewer workers, or none
        }
    }
}

// Sets aside the chunks' bytes and values; false when the memory cannot be had.
bool allocate_slots(std::vector<chunk>& slots, std::size_t slot_count, std::size_t capacity,
                    std::size_t values_size) {
    try {
        slots.resize(slot_count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (chunk& c : slots) {
        // Not zero-filled: pages are only touched as bytes and values arrive.
        c.bytes.reset(new (std::nothrow) char[capacity + SPAN_SLACK]);
        c.values.reset(new (std::nothrow) unsigned char[values_size]);
        if (!c.bytes || !c.values) return false;
    }
    return true;
}

// Bytes of source per chunk, for the slots at hand.
// Bytes of source a value takes at least: a digit and a separator, or an element.
std::size_t source_per_value(const transform& job) {
    return job.source == FMT_ASCII ? 2 : width_of(job.source);
}

// Bytes a value takes in a chunk's values: an element, or its text and separator (and a row's
// line end).
std::size_t value_room(const transform& job) {
    // Text narrowed into integers is parsed into 64-bit values first.
    if (job.narrow != nullptr && job.source == FMT_ASCII &&
        info_of(job.values).kind != element_kind::real) {
        return 8;
    }
    if (job.rows_as_text == nullptr) return width_of(job.values);
    return max_cell_text(*job.rows_as_text) + 2;
}

std::size_t chunk_capacity(const pipeline_settings& settings, const transform& job, int workers,
                           std::size_t slots) {
    if (settings.chunk_bytes != 0) return std::max(settings.chunk_bytes, MIN_CHUNK_BYTES);
    // A chunk of c bytes takes c, and values for c / source_per_value of them.
    const std::size_t per = source_per_value(job);
    const std::size_t fit = per * CHUNK_BUDGET / (slots * (per + value_room(job)));
    if (workers == 0) return std::clamp(fit / 4096 * 4096, MIN_CHUNK, INLINE_CHUNK);
    return std::clamp(fit / 4096 * 4096, MIN_CHUNK, MAX_CHUNK);
}

// Room for the values a chunk of capacity bytes gives.
std::size_t values_size(const transform& job, std::size_t capacity) {
    return (capacity / source_per_value(job) + 1) * value_room(job);
}

// The chunk size for the given workers and slots; rows stop becoming text where chunks are cut
// when a row does not fit a chunk.
std::size_t plan_chunks(const pipeline_settings& settings, transform& job, int workers,
                        std::size_t slots) {
    // A long no-data text would make the room for a chunk's text too large for its values.
    if (job.rows_as_text != nullptr && job.rows_as_text->nodata.size() > LONGEST_TEXT_IN_CHUNKS)
        job.rows_as_text = nullptr;
    std::size_t capacity = chunk_capacity(settings, job, workers, slots);
    if (job.rows_as_text != nullptr &&
        static_cast<std::uint64_t>(job.ncols) * width_of(job.source) > capacity) {
        job.rows_as_text = nullptr;
        capacity = chunk_capacity(settings, job, workers, slots);
    }
    return capacity;
}

// Where the run stands with its workers, and while probing, the converting thread's timing of its
// own parse after the first chunk.
struct worker_state {
    thread_phase phase = thread_phase::one_thread;
    int count = 0;             // while probing: the workers that may start
    bool warm = false;         // the first chunk is parsed
    std::uint64_t probed = 0;  // bytes parsed since, and the time they took
    std::chrono::nanoseconds parse_time{0};
};

// The converting thread's own: the source, the sink, and the chunks it handed over and took back.
struct conversion {
    work_queue& queue;
    chunk_source& source;
    row_sink& sink;
    const pipeline_settings& settings;
    worker_pool& pool;  // the workers, once started
    worker_state workers;
    std::uint64_t handed = 0;    // its count of queue.handed, which only it changes
    std::uint64_t consumed = 0;  // chunks whose values it took
};

enum class step { moved, idle, done };

// Takes the values of the oldest chunk once it is parsed; done, with the outcome, when the grid is
// complete or a value is missing, bad or lost.
step take_oldest(conversion& c, failure& outcome) {
    if (c.consumed == c.handed) return step::idle;
    chunk& oldest = slot_of(c.queue, c.consumed);
    {
        const std::lock_guard<std::mutex> held(c.queue.lock);
        if (!oldest.parsed) return step::idle;
    }
    const span_parse result = oldest.result;
    const auto n =
        static_cast<std::size_t>(std::min<std::uint64_t>(result.values, values_wanted(c.sink)));
    // Text rows are never more than the grid wants: the source is read to its size only.
    const bool put = c.queue.job.rows_as_text != nullptr
                         ? put_text_rows(c.sink, reinterpret_cast<const char*>(oldest.values.get()),
                                         oldest.text_size, n)
                         : put_values(c.sink, oldest.values.get(), n);
    if (!put) {
        outcome = lost_values(c.sink);
        return step::done;
    }
    // What follows the grid is never looked at, unless the source must end with it; before its
    // end, a token that is not a value is.
    if (values_wanted(c.sink) == 0) {
        outcome = finish_rows(c.sink);
        if (!outcome.failed() && c.settings.ends_with_grid &&
            (result.values > n || c.handed > c.consumed + 1 || source_goes_on(c.source))) {
            outcome = {MSG_RAW_LONGER, ""};
        }
        return step::done;
    }
    if (result.stopped) {
        outcome = stopped_at_next_value(c.sink);
        if (result.changed && outcome.message == MSG_READ_ERROR)
            outcome.message = MSG_VALUE_CHANGES;
        return step::done;
    }
    const std::lock_guard<std::mutex> held(c.queue.lock);
    oldest.parsed = false;
    ++c.consumed;
    return step::moved;
}

// Fills the next free slot from the source and hands it over.
step hand_over_next(conversion& c) {
    if (c.source.input_over || c.handed - c.consumed == c.queue.slots.size()) return step::idle;
    chunk& next = slot_of(c.queue, c.handed);
    const bool pending = c.consumed < c.handed;
    if (fill_chunk(c.source, next.bytes.get(), next.size, pending) != fill_result::filled) {
        return step::idle;
    }
    {
        const std::lock_guard<std::mutex> held(c.queue.lock);
        c.queue.handed = ++c.handed;
    }
    c.queue.work.notify_one();
    return step::moved;
}

// Transforms here a chunk no worker took yet; with no workers, every chunk.
step transform_here(conversion& c) {
    std::unique_lock<std::mutex> held(c.queue.lock);
    if (c.queue.claimed == c.queue.handed) return step::idle;
    worker_state& workers = c.workers;
    if (workers.phase != thread_phase::probing) {
        transform_next(c.queue, held);
        return step::moved;
    }
    const std::size_t bytes = slot_of(c.queue, c.queue.claimed).size;
    const auto start = std::chrono::steady_clock::now();
    transform_next(c.queue, held);
    if (workers.warm) {
        workers.parse_time += std::chrono::steady_clock::now() - start;
        workers.probed += bytes;
    }
    workers.warm = true;
    return step::moved;
}

// The slots of a queue with workers: two chunks for each thread.
std::size_t slots_for(int workers) {
    return 2 * static_cast<std::size_t>(workers) + 2;
}

// Sets aside the slots of workers in place of the one thread's, of capacity bytes, for job: false,
// with nothing changed, when their memory cannot be had. The one thread's slot becomes the first of
// them where it is large enough: its pages are warm, and each fresh one is a fault.
bool widen_queue(work_queue& queue, const pipeline_settings& settings, transform job, int workers,
                 std::size_t& capacity) {
    const std::size_t slots = slots_for(workers);
    const std::size_t wider = plan_chunks(settings, job, workers, slots);
    const bool reuse = queue.slots.size() == 1 && capacity >= wider &&
                       values_size(queue.job, capacity) >= values_size(job, wider);
    std::vector<chunk> more;
    if (!allocate_slots(more, slots - (reuse ? 1 : 0), wider, values_size(job, wider))) {
        return false;
    }
    if (reuse) {
        try {
            more.insert(more.begin(), std::move(queue.slots[0]));
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    queue.slots = std::move(more);
    queue.job = job;
    capacity = wider;
    return true;
}

// After the probe, with no chunk in flight: asks the plan again, with the parse's cost measured,
// and starts the workers where it says so and their slots and longer chunks can be had.
void decide_on_workers(conversion& c) {
    worker_state& workers = c.workers;
    workers.phase = thread_phase::one_thread;
    std::optional<std::uint64_t> left = bytes_left(*c.source.reader);
    if (left) *left += c.source.carried;
    const double cost = workers.probed == 0 ? 0.0
                                            : static_cast<double>(workers.parse_time.count()) /
                                                  static_cast<double>(workers.probed);
    const thread_facts facts{c.settings.threads, true, left, cost, 0};
    if (thread_plan(facts, c.settings.thresholds).phase != thread_phase::workers) return;
    // The job must stay as it is, chunks cut as they were: where rows become text in a chunk and
    // the workers' chunks would be too short for a row, the run stays on one thread.
    const int count = workers.count;
    transform job = c.queue.job;
    const std::size_t wider = plan_chunks(c.settings, job, count, slots_for(count));
    std::size_t capacity = c.source.capacity;
    if (job.rows_as_text != c.queue.job.rows_as_text || !reserve_carry(c.source, wider) ||
        !widen_queue(c.queue, c.settings, job, count, capacity)) {
        return;
    }
    c.source.capacity = capacity;
    workers.phase = thread_phase::workers;
    start_workers(c.pool, count);
}

// The converting thread's loop: values out, bytes in, and a chunk transformed when there is
// nothing else to do, until the grid is complete or fails.
failure convert(conversion& c) {
    failure outcome;
    for (;;) {
        const step taken = take_oldest(c, outcome);
        if (taken == step::done) return outcome;
        if (c.workers.phase == thread_phase::probing && c.consumed == c.handed && c.workers.warm &&
            c.workers.probed >= c.settings.thresholds.probe_bytes) {
            decide_on_workers(c);
        }
        if (taken == step::moved || hand_over_next(c) == step::moved ||
            transform_here(c) == step::moved) {
            continue;
        }
        if (c.consumed == c.handed) {
            // A fill that returns nothing with nothing pending has read to the input's end.
            if (c.source.input_over || c.source.limit == 0) {
                // Whole elements carried with a row cut short are read; the next is missing.
                const std::size_t carried = c.source.width ? c.source.carried / c.source.width : 0;
                return stopped_at_next_value(c.sink, carried);
            }
            continue;
        }
        std::unique_lock<std::mutex> held(c.queue.lock);
        c.queue.parsed.wait(held, [&] { return slot_of(c.queue, c.consumed).parsed; });
    }
}

// Sets up the queue with the one thread's slot and sets the phase the run starts in, as the plan
// says: where workers start at once their slots take the one thread's place, and where their
// memory cannot be had the run stays on one thread. false when not even one slot can be had.
bool set_up_queue(work_queue& queue, const pipeline_settings& settings, const source_reader& source,
                  std::size_t& capacity, worker_state& workers) {
    // The one thread's slot is had first, and kept until the workers' slots are: a run on more
    // threads never fails for memory where one thread would run.
    const transform requested = queue.job;
    capacity = plan_chunks(settings, queue.job, 0, 1);
    const std::size_t values = values_size(queue.job, capacity);
    kept_chunk* kept = settings.kept;
    if (kept != nullptr && kept->bytes && kept->capacity == capacity &&
        kept->values_size == values) {
        queue.slots.resize(1);
        queue.slots[0].bytes = std::move(kept->bytes);
        queue.slots[0].values = std::move(kept->values);
    } else if (!allocate_slots(queue.slots, 1, capacity, values)) {
        return false;
    }
    const int most = workers_for(settings.threads);
    transform job = requested;
    const thread_facts facts{settings.threads, settings.pick_workers, bytes_left(source),
                             std::nullopt, plan_chunks(settings, job, most, slots_for(most))};
    const thread_decision plan = thread_plan(facts, settings.thresholds);
    workers.phase = plan.phase;
    workers.count = plan.workers;
    if (plan.phase == thread_phase::workers &&
        !widen_queue(queue, settings, requested, plan.workers, capacity)) {
        workers = {};
    }
    return true;
}

// The one thread's chunk left for the next run, once every worker is gone.
void keep_chunk(work_queue& queue, kept_chunk* kept, std::size_t capacity) {
    if (kept == nullptr || queue.slots.size() != 1) return;
    kept->bytes = std::move(queue.slots[0].bytes);
    kept->values = std::move(queue.slots[0].values);
    kept->capacity = capacity;
    kept->values_size = values_size(queue.job, capacity);
}

}  // namespace

failure move_rows(std::int32_t nrows, std::int32_t ncols, element_format source_format,
                  source_reader& source_stream, element_format target_format,
                  grid_target& target_stream, const pipeline_settings& settings) {
    static const cell_text plain;
    const bool text_target = target_format == FMT_ASCII;
    const bool binary_source = source_format != FMT_ASCII;
    const cell_text* style = settings.text != nullptr ? settings.text : &plain;
    const transform job{
        source_format,
        text_target ? source_format : target_format,
        text_target && binary_source ? style : nullptr,
        ncols,
        settings.big_endian_source ? std::endian::big : std::endian::little,
        settings.narrow != nullptr && narrowing_asked(*settings.narrow) && !text_target
            ? settings.narrow
            : nullptr};
    row_sink sink;
    if (!open_row_sink(sink, target_stream, job.values, text_target, nrows, ncols)) {
        return {MSG_NO_MEMORY, ""};
    }
    sink.style = style;
    if (values_wanted(sink) == 0) return finish_rows(sink);

    // Everything the threads need is had before any starts or anything is read.
    work_queue queue;
    queue.job = job;
    std::size_t capacity = 0;
    worker_state workers;
    const bool queued = set_up_queue(queue, settings, source_stream, capacity, workers);
    chunk_source source;
    if (settings.kept != nullptr) {
        source.carry = std::move(settings.kept->carry);
        source.carry_size = settings.kept->carry_size;
    }
    // A token longer than a chunk is carried as an integer, or as a real where cells are read so,
    // or with --round as the integer it rounds to.
    const bool integral =
        info_of(job.values).kind != element_kind::real && !(job.narrow && job.narrow->round);
    if (!queued ||
        !open_chunk_source(source, source_stream, capacity, width_of(source_format), integral)) {
        return {MSG_NO_MEMORY, ""};
    }
    source.rounded = job.narrow && job.narrow->round;
    if (binary_source) {
        // A binary grid's size is known: the source is read to it and no further.
        source.limit = values_wanted(sink) * width_of(source_format);
        if (queue.job.rows_as_text != nullptr) {
            source.cut_unit = static_cast<std::size_t>(ncols) * width_of(source_format);
        }
    }
    failure outcome;
    {
        worker_pool pool{queue, {}};
        if (workers.phase == thread_phase::workers) start_workers(pool, workers.count);
        conversion c{queue, source, sink, settings, pool, workers};
        outcome = convert(c);
    }
    keep_chunk(queue, settings.kept, capacity);
    if (settings.kept != nullptr) {
        settings.kept->carry = std::move(source.carry);
        settings.kept->carry_size = source.carry_size;
    }
    return outcome;
}

pipeline_settings threads_from_setting(const char* setting, unsigned cores) {
    pipeline_settings settings;
    if (setting != nullptr && *setting != '\0') {
        const long wanted = std::strtol(setting, nullptr, 10);
        if (wanted >= 1) {
            settings.threads = static_cast<int>(std::min(wanted, 1024L));
            return settings;
        }
    }
    settings.threads = static_cast<int>(std::max(cores, 1u));
    settings.pick_workers = true;
    return settings;
}
