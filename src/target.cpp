#include "target.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "byte_order.h"
#include "failure.h"
#include "formats.h"
#include "platform.h"

// Shared by the converting thread and the writer thread. thread is started and joined by the
// converting thread; every other field is read and written only under lock. block belongs to the
// writer thread while pending is not 0, and to the converting thread (which swaps it with its own)
// otherwise.
struct block_writer {
    std::thread thread;
    std::mutex lock;
    std::condition_variable changed;  // a block was handed over or written, or stop was set
    std::unique_ptr<unsigned char[]> block;
    std::size_t pending = 0;            // bytes of block to write; 0 when the writer is idle
    std::size_t written = 0;            // bytes of the last block that reached the file
    std::size_t cells_from = SIZE_MAX;  // the block's first byte of cells, for a text target
    std::uint64_t cells = 0;            // cells of the last block whose text reached the file
    bool failed = false;
    bool stop = false;
    std::uint64_t at = 0;  // the block's first byte in the target, for a placed one
    disagreement differs;
};

namespace {

// A target at its first byte, with a block of capacity bytes (kept when it has that size).
void start_target(grid_target& target, std::size_t capacity, std::uint64_t write_behind_after) {
    if (!target.block || target.capacity != capacity) {
        target.block.reset(new unsigned char[capacity]);
    }
    target.capacity = capacity;
    target.used = 0;
    target.committed = 0;
    target.in_flight = 0;
    target.failed = false;
    target.write_behind_after = write_behind_after;
    target.writer.reset();
    target.cells_from = NO_CELLS;
    target.cells_committed = 0;
    target.place = nullptr;
    target.differs = {};
}

}  // namespace

void open_target(grid_target& target, std::FILE* file, std::size_t capacity,
                 std::uint64_t write_behind_after) {
    // Unbuffered: the block below is the only buffer, so a failed write shows at once and
    // committed counts exactly the bytes the file took.
    std::setvbuf(file, nullptr, _IONBF, 0);
    start_target(target, capacity, write_behind_after);
    target.file = file;
}

void open_placed_target(grid_target& target, const tile_placement& place, std::size_t capacity) {
    start_target(target, capacity, NO_WRITE_BEHIND);
    target.file = nullptr;
    target.place = &place;
}

void count_text_cells(grid_target& target) {
    target.cells_from = target.committed + target.in_flight + target.used;
    target.cells_committed = 0;
}

bool writes_behind(const grid_target& target) {
    return target.writer != nullptr;
}

void stop_block_writer::operator()(block_writer* writer) const {
    if (writer->thread.joinable()) {
        {
            const std::lock_guard<std::mutex> held(writer->lock);
            writer->stop = true;
        }
        writer->changed.notify_all();
        writer->thread.join();
    }
    delete writer;
}

namespace {

// The high bit of each byte of x that is zero, and no other bit.
std::uint64_t zero_bytes(std::uint64_t x) {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7F;
    return ~(((x & low7) + low7) | x | low7);
}

// The cells whose text reached the file with the first written of size bytes at block, from its
// byte from on (SIZE_MAX: none): each space or LF ends one. Where the write stopped short at a
// separator (a space, or a line end's CR or LF), the cell before it is whole.
std::uint64_t cells_written(const unsigned char* block, std::size_t from, std::size_t written,
                            std::size_t size) {
    if (from > written) return 0;
    std::uint64_t cells = 0;
    std::size_t i = from;
    // Eight bytes at a time, the matches summed per byte lane for up to 255 words.
    while (written - i >= 8) {
        std::uint64_t lanes = 0;
        const std::size_t stop = i + std::min<std::size_t>((written - i) / 8, 255) * 8;
        for (; i < stop; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, block + i, 8);
            lanes +=
                (zero_bytes(word ^ 0x2020202020202020) | zero_bytes(word ^ 0x0A0A0A0A0A0A0A0A)) >>
                7;
        }
        const std::uint64_t pairs =
            (lanes & 0x00FF00FF00FF00FF) + ((lanes >> 8) & 0x00FF00FF00FF00FF);
        cells += (pairs * 0x0001000100010001) >> 48;
    }
    for (; i < written; ++i)
        cells += static_cast<unsigned>(block[i] == ' ') + static_cast<unsigned>(block[i] == '\n');
    if (written < size) {
        const unsigned char next = block[written];
        if (next == ' ' || next == '\r' || next == '\n') ++cells;
    }
    return cells;
}

// Where the cells begin in the block to be written next, which starts at the file's byte
// committed.
std::size_t cells_from_in_block(const grid_target& target) {
    if (target.cells_from == NO_CELLS) return SIZE_MAX;
    if (target.cells_from <= target.committed) return 0;
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(target.cells_from - target.committed, SIZE_MAX - 1));
}

// Writes a block of the target's bytes, from its byte at on: appended to the file, or placed.
std::size_t write_out(std::FILE* file, const tile_placement* place, const unsigned char* data,
                      std::size_t size, std::uint64_t at, disagreement& differs) {
    if (place != nullptr) return write_placed(*place, data, size, at, differs);
    return std::fwrite(data, 1, size, file);
}

void write_blocks(block_writer& writer, std::FILE* file, const tile_placement* place) {
    std::unique_lock<std::mutex> held(writer.lock);
    for (;;) {
        writer.changed.wait(held, [&] { return writer.pending != 0 || writer.stop; });
        if (writer.pending == 0) return;
        const std::size_t size = writer.pending;
        const std::uint64_t at = writer.at;
        disagreement differs;
        held.unlock();
        const std::size_t written = write_out(file, place, writer.block.get(), size, at, differs);
        const std::uint64_t cells =
            cells_written(writer.block.get(), writer.cells_from, written, size);
        held.lock();
        writer.written = written;
        writer.cells = cells;
        writer.failed = written != size;
        if (differs.at != NO_CELLS) writer.differs = differs;
        writer.pending = 0;
        writer.changed.notify_all();
    }
}

// Waits for the block in the writer's hands, if any, and counts what reached the file.
bool settle(grid_target& target) {
    if (target.writer) {
        block_writer& writer = *target.writer;
        std::unique_lock<std::mutex> held(writer.lock);
        writer.changed.wait(held, [&] { return writer.pending == 0; });
        target.committed += writer.written;
        target.cells_committed += writer.cells;
        writer.written = 0;
        writer.cells = 0;
        target.in_flight = 0;
        if (writer.failed) target.failed = true;
        if (writer.differs.at != NO_CELLS) target.differs = writer.differs;
    }
    return !target.failed;
}

bool write_now(grid_target& target) {
    const std::size_t written = write_out(target.file, target.place, target.block.get(),
                                          target.used, target.committed, target.differs);
    target.cells_committed +=
        cells_written(target.block.get(), cells_from_in_block(target), written, target.used);
    target.committed += written;
    if (written != target.used) target.failed = true;
    target.used = 0;
    return !target.failed;
}

// Hands a full block to the writer thread, which writes it while the next one fills.
bool hand_off(grid_target& target) {
    if (!settle(target)) return false;
    // A thread pays for itself only on large targets; the first blocks are written here.
    if (target.committed < target.write_behind_after) return write_now(target);
    if (!target.writer) {
        // Memory or a thread that cannot be had: everything is written here, as before.
        std::unique_ptr<block_writer, stop_block_writer> writer(new (std::nothrow) block_writer);
        if (writer) writer->block.reset(new (std::nothrow) unsigned char[target.capacity]);
        bool started = false;
        if (writer && writer->block) {
            try {
                writer->thread =
                    std::thread(write_blocks, std::ref(*writer), target.file, target.place);
                started = true;
            } catch (const std::exception&) {
            }
        }
        if (!started) {
            target.write_behind_after = NO_WRITE_BEHIND;
            return write_now(target);
        }
        target.writer = std::move(writer);
    }
    block_writer& writer = *target.writer;
    {
        const std::lock_guard<std::mutex> held(writer.lock);
        std::swap(target.block, writer.block);
        writer.pending = target.used;
        writer.at = target.committed;
        writer.cells_from = cells_from_in_block(target);
    }
    writer.changed.notify_all();
    target.in_flight = target.used;
    target.used = 0;
    return true;
}

// The byte ranges of row row of a tile that earlier tiles wrote, within [from, to): sorted, merged.
std::vector<std::pair<std::size_t, std::size_t>> covered_in_row(const tile_placement& place,
                                                                std::int32_t row, std::size_t from,
                                                                std::size_t to) {
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    for (const tile_cells& c : place.covered) {
        if (row < c.row || row >= c.row + c.nrows) continue;
        const std::size_t a = std::max(from, static_cast<std::size_t>(c.column) * place.width);
        const std::size_t b =
            std::min(to, static_cast<std::size_t>(c.column + c.ncols) * place.width);
        if (a < b) ranges.emplace_back(a, b);
    }
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<std::size_t, std::size_t>> merged;
    for (const auto& r : ranges) {
        if (!merged.empty() && r.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, r.second);
        } else {
            merged.push_back(r);
        }
    }
    return merged;
}

// How many of size bytes at data equal those of the file at offset, in whole elements.
std::size_t equal_bytes(const tile_placement& place, const unsigned char* data, std::size_t size,
                        std::uint64_t offset) {
    unsigned char held[4096];
    std::size_t done = 0;
    while (done < size) {
        const std::size_t piece = std::min(size - done, sizeof held);
        if (read_at(place.fd, held, piece, offset + done) != piece) return done;
        const std::size_t same =
            static_cast<std::size_t>(std::mismatch(held, held + piece, data + done).first - held);
        if (same != piece) return done + same / place.width * place.width;
        done += piece;
    }
    return size;
}

// One row's bytes [from, to) of a tile at their place: written where no earlier tile wrote,
// compared or passed over or written where one did. Returns the bytes placed.
std::size_t place_row_part(const tile_placement& place, const unsigned char* data, std::int32_t row,
                           std::size_t from, std::size_t to, disagreement& differs,
                           std::uint64_t at) {
    const std::uint64_t base = place.origin + static_cast<std::uint64_t>(row) * place.row_stride;
    std::size_t cursor = from;
    const auto write_to = [&](std::size_t end) {
        const std::size_t n =
            write_at(place.fd, data + (cursor - from), end - cursor, base + cursor);
        cursor += n;
        return cursor == end;
    };
    const auto ranges = place.rule == overlap_rule::last
                            ? std::vector<std::pair<std::size_t, std::size_t>>{}
                            : covered_in_row(place, row, from, to);
    for (const auto& [a, b] : ranges) {
        if (a > cursor && !write_to(a)) return cursor - from;
        if (place.rule == overlap_rule::agree) {
            const std::size_t same = equal_bytes(place, data + (a - from), b - a, base + a);
            if (same != b - a) {
                differs.at = at + (a + same - from);
                std::memcpy(differs.element, data + (a + same - from), place.width);
                return a + same - from;
            }
        }
        cursor = b;
    }
    if (cursor < to) write_to(to);
    return cursor - from;
}

}  // namespace

std::size_t write_placed(const tile_placement& place, const unsigned char* data, std::size_t size,
                         std::uint64_t at, disagreement& differs) {
    // A tile as wide as the mosaic, with nothing to compare, is one run of the file.
    if (place.row_stride == place.row_bytes &&
        (place.covered.empty() || place.rule == overlap_rule::last)) {
        return write_at(place.fd, data, size, place.origin + at);
    }
    std::size_t done = 0;
    while (done < size) {
        const std::uint64_t position = at + done;
        const auto row = static_cast<std::int32_t>(position / place.row_bytes);
        const auto from = static_cast<std::size_t>(position % place.row_bytes);
        const std::size_t to = std::min(place.row_bytes, from + (size - done));
        const std::size_t placed =
            place_row_part(place, data + done, row, from, to, differs, position);
        done += placed;
        if (placed != to - from) break;
    }
    return done;
}

bool flush_target(grid_target& target) {
    if (!settle(target)) return false;
    if (target.used == 0) return true;
    return write_now(target);
}

bool close_target(grid_target& target) {
    bool ok = flush_target(target);
    target.writer.reset();
    if (target.file != nullptr && std::fclose(target.file) != 0) ok = false;
    target.file = nullptr;
    target.failed = !ok;
    return ok;
}

namespace {

// Appends bytes to the block, flushing it when full; widths of elements are kept whole so that
// each can be put into little-endian order in the block.
bool put_elements(grid_target& target, const unsigned char* data, std::size_t count,
                  std::size_t size) {
    while (count != 0) {
        std::size_t fit = (target.capacity - target.used) / size;
        if (fit == 0) {
            if (!hand_off(target)) return false;
            fit = target.capacity / size;
        }
        const std::size_t n = std::min(fit, count);
        unsigned char* at = target.block.get() + target.used;
        std::memcpy(at, data, n * size);
        swap_to_little_endian(at, n, size);
        target.used += n * size;
        data += n * size;
        count -= n;
    }
    return !target.failed;
}

}  // namespace

bool write_binary_row(grid_target& target, std::int32_t count, element_format format,
                      const void* buffer) {
    if (count < 1) return !target.failed;
    return put_elements(target, static_cast<const unsigned char*>(buffer),
                        static_cast<std::size_t>(count), width_of(format));
}

namespace {

// The values that reached the file: its elements of width bytes, or its cells of text.
std::uint64_t values_in_file(const grid_target& target, int width) {
    if (target.cells_from != NO_CELLS) return target.cells_committed;
    return width > 0 ? target.committed / static_cast<std::uint64_t>(width) : 0;
}

}  // namespace

failure stopped_at_value(grid_target& target, std::uint64_t value, std::int32_t ncols, int width) {
    const auto columns = static_cast<std::uint64_t>(ncols < 1 ? 1 : ncols);
    if (!flush_target(target) && values_in_file(target, width) < value) {
        return {MSG_WRITE_ERROR, lost_value_position(target, ncols, width)};
    }
    failure stopped{MSG_READ_ERROR, row_column(value / columns, value % columns)};
    stopped.value = value;
    return stopped;
}

std::string lost_value_position(const grid_target& target, std::int32_t ncols, int width,
                                std::uint64_t grid_cells) {
    std::uint64_t value = values_in_file(target, width);
    // Every value reached the file, and what follows them did not.
    if (grid_cells != 0 && value >= grid_cells) value = grid_cells - 1;
    return value_position(value, ncols, 1);
}

std::string value_position(std::uint64_t committed, std::int32_t ncols, int width) {
    std::uint64_t row = 0;
    std::uint64_t column = 0;
    if (ncols > 0 && width > 0) {
        const std::uint64_t value = committed / static_cast<std::uint64_t>(width);
        row = value / static_cast<std::uint64_t>(ncols);
        column = value % static_cast<std::uint64_t>(ncols);
    }
    return row_column(row, column);
}
