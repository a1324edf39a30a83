#include "parallel_rows.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "chars.h"
#include "formats.h"
#include "row_readers.h"
#include "text_number.h"

namespace {

constexpr int MAX_WORKERS = 16;
// What the chunks' text and values may take together, and the bounds of one chunk's text.
constexpr std::size_t CHUNK_BUDGET = std::size_t(6) << 20;
constexpr std::size_t MIN_CHUNK = std::size_t(32) << 10;
constexpr std::size_t MAX_CHUNK = std::size_t(1) << 20;

struct chunk {
    std::unique_ptr<char[]> text;             // the chunk's capacity and SPAN_SLACK bytes
    std::unique_ptr<unsigned char[]> values;  // room for a value per two bytes of text
    std::size_t size = 0;                     // bytes of text, ending in white space
    span_parse result{0, false, nullptr};
    bool parsed = false;
};

// What the converting thread and the workers share, under lock.
struct work_queue {
    std::mutex lock;
    std::condition_variable work;    // a chunk was handed over, or stop was set
    std::condition_variable parsed;  // a worker parsed a chunk
    std::vector<chunk> slots;        // chunk n lives in slots[n % slots.size()]
    std::uint64_t handed = 0;        // chunks handed to the workers
    std::uint64_t claimed = 0;       // chunks a worker took
    bool stop = false;
    int format = 0;
};

chunk& slot_of(work_queue& queue, std::uint64_t n) {
    return queue.slots[static_cast<std::size_t>(n % queue.slots.size())];
}

void parse_chunks(work_queue& queue) {
    std::unique_lock<std::mutex> held(queue.lock);
    for (;;) {
        queue.work.wait(held, [&] { return queue.stop || queue.claimed < queue.handed; });
        if (queue.stop) return;
        chunk& c = slot_of(queue, queue.claimed++);
        held.unlock();
        const span_parse result =
            parse_text_span(c.text.get(), c.text.get() + c.size, queue.format, c.values.get());
        held.lock();
        c.result = result;
        c.parsed = true;
        queue.parsed.notify_one();  // only the converting thread waits for it
    }
}

// The worker threads; stopped and joined however the move ends.
struct workers {
    work_queue& queue;
    std::vector<std::thread> threads;

    ~workers() {
        {
            const std::lock_guard<std::mutex> held(queue.lock);
            queue.stop = true;
        }
        queue.work.notify_all();
        for (std::thread& t : threads)
            t.join();
    }
};

// Reads the source into chunks cut after their last white space; the token cut short there is
// carried to the front of the next chunk.
struct chunk_filler {
    source_reader& source;
    std::size_t capacity;
    std::unique_ptr<char[]> carry;
    std::size_t carried = 0;
    bool may_wait;  // reads may wait for data, so only what is ready is read while work is pending
    bool integral;  // for a token longer than a chunk
    bool input_over = false;
};

enum class fill_result { filled, waiting, long_token, over };

// One past the last white space in text[from, to), or 0 when there is none.
std::size_t end_of_last_space(const char* text, std::size_t from, std::size_t to) {
    for (std::size_t i = to; i > from; --i) {
        if (is_space(text[i - 1])) return i;
    }
    return 0;
}

void carry_from(chunk_filler& filler, const char* text, std::size_t size) {
    std::memcpy(filler.carry.get(), text, size);
    filler.carried = size;
}

// Fills c with the carried bytes and what the source gives, up to its capacity. With work
// pending a read that would wait is not made: waiting ends the fill instead, so that a pipe held
// open after the grid never stops values already read from reaching the target.
fill_result fill(chunk_filler& filler, chunk& c, bool work_pending) {
    char* text = c.text.get();
    std::size_t size = filler.carried;
    std::memcpy(text, filler.carry.get(), size);
    std::size_t cut = end_of_last_space(text, 0, size);
    while (size + 1 < filler.capacity && !filler.input_over) {
        if (filler.may_wait && (cut != 0 || work_pending) && !input_ready(filler.source)) break;
        const std::size_t n = read_into(filler.source, text + size, filler.capacity - size);
        if (n == 0) {
            filler.input_over = true;
            break;
        }
        cut = std::max(cut, end_of_last_space(text, size, size + n));
        size += n;
    }
    if (cut == 0 && size + 1 >= filler.capacity) {
        filler.carried = 0;
        c.size = size;
        return fill_result::long_token;
    }
    // After a failed read the bytes after the last white space are a token cut short; the
    // carry keeps them, and they never become a value.
    carry_from(filler, text + cut, size - cut);
    c.size = cut;
    text[cut] = '\0';
    if (cut != 0) return fill_result::filled;
    return filler.input_over ? fill_result::over : fill_result::waiting;
}

// c holds the start of a token that fills it: reads the token to its end and leaves in c its
// short form with the same value, followed by a newline.
fill_result finish_long_token(chunk_filler& filler, chunk& c) {
    long_token token;
    token.integral = filler.integral;
    char* text = c.text.get();
    feed_long_token(token, text, text + c.size);
    for (;;) {
        const std::size_t n = read_into(filler.source, text, filler.capacity);
        if (n == 0) {  // only after a failed read: the token may go on in what was not read
            filler.input_over = true;
            return fill_result::over;
        }
        const char* stop = std::find_if(text, text + n, is_space);
        feed_long_token(token, text, stop);
        if (stop != text + n) {
            carry_from(filler, stop, static_cast<std::size_t>(text + n - stop));
            break;
        }
    }
    const std::string short_form = finish_long_token(token);
    std::memcpy(text, short_form.data(), short_form.size());
    c.size = short_form.size() + 1;
    text[c.size - 1] = '\n';
    text[c.size] = '\0';
    return fill_result::filled;
}

// Puts values into the target a complete row at a time; the values of a row not yet complete
// wait in row, so that a failure later in that row leaves them out of the target.
struct row_sink {
    grid_target& target;
    int format;
    std::size_t width;
    std::int32_t ncols;
    unsigned char* row;
    std::size_t staged = 0;
};

bool put_values(row_sink& sink, unsigned char* values, std::size_t count) {
    const auto ncols = static_cast<std::size_t>(sink.ncols);
    while (count != 0) {
        if (sink.staged == 0 && count >= ncols) {
            // Whole rows straight from the chunk, as many at a time as a row writer takes.
            const std::size_t rows = std::min(count / ncols, INT32_MAX / ncols);
            const auto n = static_cast<std::int32_t>(rows * ncols);
            if (write_binary_row(sink.target, n, sink.format, values) != n) return false;
            values += rows * ncols * sink.width;
            count -= rows * ncols;
            continue;
        }
        const std::size_t n = std::min(ncols - sink.staged, count);
        std::memcpy(sink.row + sink.staged * sink.width, values, n * sink.width);
        sink.staged += n;
        values += n * sink.width;
        count -= n;
        if (sink.staged < ncols) break;
        sink.staged = 0;
        if (write_binary_row(sink.target, sink.ncols, sink.format, sink.row) != sink.ncols) {
            return false;
        }
    }
    return true;
}

// Sets aside the chunks' text and values; false when the memory cannot be had.
bool allocate_slots(work_queue& queue, std::size_t slot_count, std::size_t capacity,
                    std::size_t width) {
    try {
        queue.slots.resize(slot_count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (chunk& c : queue.slots) {
        // Not zero-filled: pages are only touched as text and values arrive.
        c.text.reset(new (std::nothrow) char[capacity + SPAN_SLACK]);
        c.values.reset(new (std::nothrow) unsigned char[(capacity / 2 + 1) * width]);
        if (!c.text || !c.values) return false;
    }
    return true;
}

std::size_t chunk_capacity(std::size_t slots, std::size_t width) {
    // A chunk of c bytes takes c of text and up to c / 2 values.
    const std::size_t fit = 2 * CHUNK_BUDGET / (slots * (2 + width));
    return std::clamp(fit / 4096 * 4096, MIN_CHUNK, MAX_CHUNK);
}

}  // namespace

std::optional<failure> move_rows_in_parallel(std::int32_t first_row, std::int32_t nrows,
                                             std::int32_t ncols, int format, source_reader& source,
                                             grid_target& target, unsigned char* row, int threads,
                                             std::size_t chunk_bytes) {
    if (first_row >= nrows || ncols < 1) return failure{};
    const auto width = static_cast<std::size_t>(element_size[format]);
    const int worker_count = std::clamp(threads, 1, MAX_WORKERS);
    const std::size_t slot_count = 2 * static_cast<std::size_t>(worker_count) + 2;
    // The short form of a token longer than a chunk must fit in one.
    const std::size_t capacity = chunk_bytes == 0 ? chunk_capacity(slot_count, width)
                                                  : std::max(chunk_bytes, MIN_CHUNK_BYTES);

    // Everything the threads need is had before any starts or anything is read: what cannot be
    // had leaves the rest of the grid to the one-thread path.
    work_queue queue;
    queue.format = format;
    if (!allocate_slots(queue, slot_count, capacity, width)) return std::nullopt;
    chunk_filler filler{source,
                        capacity,
                        std::unique_ptr<char[]>(new (std::nothrow) char[capacity]),
                        0,
                        reads_may_wait(source),
                        format_table[format].kind != element_kind::real};
    if (!filler.carry) return std::nullopt;
    workers pool{queue, {}};
    for (int i = 0; i < worker_count; ++i) {
        try {
            pool.threads.emplace_back(parse_chunks, std::ref(queue));
        } catch (const std::exception&) {
            break;  // a process limit, or no memory for a stack: fewer workers, or none
        }
    }
    if (pool.threads.empty()) return std::nullopt;

    row_sink sink{target, format, width, ncols, row};
    const auto columns = static_cast<std::uint64_t>(ncols);
    const std::uint64_t first_value = static_cast<std::uint64_t>(first_row) * columns;
    const std::uint64_t wanted = static_cast<std::uint64_t>(nrows - first_row) * columns;
    std::uint64_t taken = 0;     // values put into the sink
    std::uint64_t consumed = 0;  // chunks whose values were taken
    bool long_token_held = false;
    const auto read_failure = [&] {
        return stopped_at_value(target, first_value + taken, ncols, static_cast<int>(width));
    };

    std::unique_lock<std::mutex> held(queue.lock);
    for (;;) {
        chunk& oldest = slot_of(queue, consumed);
        if (consumed < queue.handed && oldest.parsed) {
            held.unlock();
            const span_parse result = oldest.result;
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(result.values, wanted - taken));
            if (!put_values(sink, oldest.values.get(), n)) {
                return failure{MSG_WRITE_ERROR,
                               lost_value_position(target, ncols, static_cast<int>(width))};
            }
            taken += n;
            if (taken == wanted) return failure{};      // what follows the grid is never looked at
            if (result.stopped) return read_failure();  // the first value that is not one
            held.lock();
            oldest.parsed = false;
            ++consumed;
            continue;
        }
        const bool pending = consumed < queue.handed;
        if (!filler.input_over && queue.handed - consumed < slot_count) {
            held.unlock();
            chunk& next = slot_of(queue, queue.handed);
            fill_result filled =
                long_token_held ? fill_result::long_token : fill(filler, next, pending);
            if (filled == fill_result::long_token) {
                // Its reads may wait, which they must not while values before it are pending.
                long_token_held = pending && filler.may_wait;
                if (!long_token_held) filled = finish_long_token(filler, next);
            }
            held.lock();
            if (filled == fill_result::filled) {
                ++queue.handed;
                queue.work.notify_one();
                continue;
            }
        }
        if (consumed == queue.handed) {
            if (!filler.input_over) continue;
            held.unlock();
            return read_failure();  // the input ended before the grid did
        }
        queue.parsed.wait(held, [&] { return slot_of(queue, consumed).parsed; });
    }
}
