#include "unpacked_stream.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#ifndef _WIN32
#include <poll.h>
#endif

namespace {

// Four blocks of 256 KiB: the inflate runs a megabyte ahead of the parse at most.
constexpr std::size_t UNPACKED_BLOCK = std::size_t(256) << 10;
constexpr std::size_t UNPACKED_BLOCKS = 4;
constexpr std::size_t PACKED_BLOCK = std::size_t(256) << 10;

struct unpacked_block {
    std::unique_ptr<unsigned char[]> data;
    std::size_t size = 0;
};

}  // namespace

struct unpacked_stream {
    packed_source source;
    // The unpacking side's own (the thread's, or the reader's without one).
    inflater_handle state;
    inflate_engine engine = inflate_engine::isal;  // what state was made for
    deflate_framing framing = deflate_framing::gzip;
    std::unique_ptr<unsigned char[]> packed;
    std::size_t packed_size = PACKED_BLOCK;  // more where the first bytes were more
    std::size_t packed_at = 0, packed_end = 0;
    bool packed_over = false;  // the compressed bytes are all read
    bool in_member = false;    // gzip: a member started and not yet ended
    bool output_full = false;  // the last inflate filled its room: it may hold more to give
    std::uint64_t member = 0;  // gzip: the number of the member started last, from 1
    std::uint32_t crc = 0;     // zip: of the bytes unpacked so far
    std::uint64_t unpacked = 0;
    std::atomic<std::uint64_t> packed_read{0};

    // Blocks [taken, made) are unpacked and wait for the reader; the others are free.
    std::array<unpacked_block, UNPACKED_BLOCKS> blocks;
    std::size_t offset = 0;  // the reader's: into block taken % UNPACKED_BLOCKS
    // Under lock: taken (the reader's) and made, ended, read_failed, damage (the unpacking
    // side's), stop (the closer's).
    std::mutex lock;
    std::condition_variable changed;
    std::uint64_t taken = 0, made = 0;
    bool ended = false;  // nothing more will be made
    bool read_failed = false;
    std::string damage;
    bool stop = false;
    std::thread thread;
};

namespace {

#ifndef _WIN32
bool stopping(unpacked_stream& s) {
    const std::lock_guard<std::mutex> held(s.lock);
    return s.stop;
}
#endif

// Whether a read of fd would wait now.
bool read_would_wait(int fd) {
#ifdef _WIN32
    (void)fd;
    return false;
#else
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 0) == 0;
#endif
}

// Reads more compressed bytes behind those not yet used; false where none came.
bool read_packed(unpacked_stream& s) {
    if (s.packed_at != 0) {
        std::memmove(s.packed.get(), s.packed.get() + s.packed_at, s.packed_end - s.packed_at);
        s.packed_end -= s.packed_at;
        s.packed_at = 0;
    }
#ifndef _WIN32
    if (s.source.wait_fd >= 0) {
        pollfd ready{s.source.wait_fd, POLLIN, 0};
        for (;;) {
            const int r = poll(&ready, 1, 100);
            if (r > 0 || (r < 0 && errno != EINTR)) break;
            if (stopping(s)) {
                s.packed_over = true;
                return false;
            }
        }
    }
#endif
    const long n = s.source.read(s.packed.get() + s.packed_end, s.packed_size - s.packed_end);
    if (n <= 0) {
        s.packed_over = true;
        if (n < 0) {
            const std::lock_guard<std::mutex> held(s.lock);
            s.read_failed = true;
            // The archive library fails a member's reads where its local header is damaged.
            if (s.source.kind != packing::gzip && s.damage.empty()) {
                s.damage = "the member's data could not be read from the archive";
            }
        }
        return false;
    }
    s.packed_end += static_cast<std::size_t>(n);
    s.packed_read.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
    return true;
}

std::size_t packed_left(const unpacked_stream& s) {
    return s.packed_end - s.packed_at;
}

// Between gzip members: the next must begin with the magic, or the file end there.
const char* start_member(unpacked_stream& s) {
    while (packed_left(s) < 2 && !s.packed_over && read_packed(s)) {
    }
    if (packed_left(s) == 0) return nullptr;
    const unsigned char* at = s.packed.get() + s.packed_at;
    if (packed_left(s) < 2 || at[0] != 0x1f || at[1] != 0x8b) {
        return "bytes that are no gzip member follow the last member";
    }
    restart_inflater(*s.state);
    s.in_member = true;
    ++s.member;
    return nullptr;
}

// A zip member's checks once its data is over.
const char* check_member_end(const unpacked_stream& s) {
    if (s.unpacked != s.source.size)
        return "the member's length disagrees with the archive's directory";
    if (s.crc != s.source.crc) return "the member's CRC-32 disagrees with the archive's directory";
    return nullptr;
}

// Unpacks into [out, out + room): how many bytes; sets done, with why where the data is damaged.
std::size_t unpack_some(unpacked_stream& s, unsigned char* out, std::size_t room, bool& done,
                        const char*& why) {
    // Output the inflater still holds comes first: the bytes that give it may be long in coming.
    if (packed_left(s) == 0 && !s.packed_over && !s.output_full) read_packed(s);
    const bool gzip = s.source.kind == packing::gzip;
    if (gzip && !s.in_member) {
        why = start_member(s);
        done = why != nullptr || !s.in_member;
        return 0;
    }
    std::size_t made = 0;
    inflate_status status = inflate_status::more;
    if (s.source.kind == packing::stored) {
        made = std::min(room, packed_left(s));
        std::memcpy(out, s.packed.get() + s.packed_at, made);
        s.packed_at += made;
        if (packed_left(s) == 0 && s.packed_over) status = inflate_status::ended;
    } else {
        const inflate_step step =
            inflate_some(*s.state, s.packed.get() + s.packed_at, packed_left(s), out, room);
        s.packed_at += step.used;
        made = step.made;
        s.output_full = made == room;
        status = step.status;
        if (status == inflate_status::damaged) why = inflate_damage(*s.state).data();
    }
    if (!gzip) s.crc = crc32_of(s.crc, out, made);
    s.unpacked += made;
    if (status == inflate_status::ended) {
        s.in_member = false;
        // A zip member's data is over; a failed read that cut it is said as such, not checked.
        if (!gzip && !s.read_failed) why = check_member_end(s);
        done = done || !gzip;
    } else if (status == inflate_status::more && made == 0 && packed_left(s) == 0 &&
               s.packed_over) {
        // A failed read is said as such; the data it cut off is not called damaged.
        const std::lock_guard<std::mutex> held(s.lock);
        if (!s.read_failed)
            why = gzip ? "the file ends inside a gzip member" : "the member's data is cut short";
        done = true;
    }
    done = done || status == inflate_status::damaged;
    return made;
}

// Whether unpacking more would wait on a pipe for compressed bytes not yet written.
bool unpacking_would_wait(const unpacked_stream& s) {
    if (s.source.wait_fd < 0 || s.packed_over) return false;
    const bool needs_more = s.source.kind == packing::gzip && !s.in_member
                                ? packed_left(s) < 2
                                : packed_left(s) == 0 && !s.output_full;
    return needs_more && read_would_wait(s.source.wait_fd);
}

// Unpacks the next block in full, or up to the end of the stream; false once the stream ended.
// From a pipe a block is handed on as far as it goes before a read that would wait: a header
// that is no grid is refused before the writer closes the pipe.
bool make_block(unpacked_stream& s, unpacked_block& block) {
    block.size = 0;
    bool done = false;
    const char* why = nullptr;
    while (!done && block.size < UNPACKED_BLOCK && (block.size == 0 || !unpacking_would_wait(s))) {
        block.size +=
            unpack_some(s, block.data.get() + block.size, UNPACKED_BLOCK - block.size, done, why);
    }
    std::string damage;
    if (why != nullptr) {
        // Where: the first byte not yet taken by the inflater.
        const std::uint64_t at = s.packed_read.load(std::memory_order_relaxed) - packed_left(s);
        damage = why;
        damage +=
            s.source.kind == packing::gzip ? " (member " + std::to_string(s.member) + ", " : " (";
        damage += "near byte " + std::to_string(at) + " of the compressed data)";
    }
    const std::lock_guard<std::mutex> held(s.lock);
    ++s.made;
    if (done) {
        s.ended = true;
        if (s.damage.empty()) s.damage = damage;
    }
    s.changed.notify_all();
    return !done;
}

void unpack_ahead(unpacked_stream& s) {
    for (;;) {
        std::uint64_t next = 0;
        {
            std::unique_lock<std::mutex> held(s.lock);
            s.changed.wait(held, [&] { return s.stop || s.made - s.taken < UNPACKED_BLOCKS; });
            if (s.stop) return;
            next = s.made;
        }
        if (!make_block(s, s.blocks[next % UNPACKED_BLOCKS])) return;
    }
}

// Waits, under held, for a block to take; false where the stream ended before another.
// Without a thread of its own, the reader unpacks the block itself.
bool wait_for_block(unpacked_stream& s, std::unique_lock<std::mutex>& held) {
    if (!s.thread.joinable() && s.taken == s.made && !s.ended) {
        held.unlock();
        make_block(s, s.blocks[s.made % UNPACKED_BLOCKS]);
        held.lock();
    }
    s.changed.wait(held, [&] { return s.taken < s.made || s.ended; });
    return s.taken < s.made;
}

}  // namespace

void stop_unpacking(unpacked_stream& s) {
    {
        const std::lock_guard<std::mutex> held(s.lock);
        s.stop = true;
    }
    s.changed.notify_all();
    if (s.thread.joinable()) s.thread.join();
}

void unpacked_stream_closer::operator()(unpacked_stream* stream) const {
    stop_unpacking(*stream);
    delete stream;
}

unpacked_handle start_unpacking(packed_source source, bool own_thread, unpacked_handle previous) {
    unpacked_handle s = std::move(previous);
    if (s) {
        stop_unpacking(*s);
    } else {
        s.reset(new (std::nothrow) unpacked_stream);
        if (!s) return {};
    }
    const deflate_framing framing =
        source.kind == packing::gzip ? deflate_framing::gzip : deflate_framing::raw;
    // The memory of the stream before is kept, warm: a mosaic opens thousands of members.
    if (source.kind != packing::stored) {
        if (s->state && s->engine == source.engine && s->framing == framing) {
            restart_inflater(*s->state);
        } else {
            s->state = new_inflater(source.engine, framing);
            if (!s->state) return {};
        }
        s->engine = source.engine;
        s->framing = framing;
    }
    s->source = std::move(source);
    const std::string& first = s->source.first_bytes;
    if (!s->packed || s->packed_size < first.size()) {
        s->packed_size = std::max(PACKED_BLOCK, first.size());
        s->packed.reset(new (std::nothrow) unsigned char[s->packed_size]);
        if (!s->packed) return {};
    }
    for (unpacked_block& block : s->blocks) {
        if (!block.data) block.data.reset(new (std::nothrow) unsigned char[UNPACKED_BLOCK]);
        if (!block.data) return {};
        block.size = 0;
    }
    std::memcpy(s->packed.get(), first.data(), first.size());
    s->packed_at = 0;
    s->packed_end = first.size();
    s->packed_over = false;
    s->output_full = false;
    s->crc = 0;
    s->unpacked = 0;
    s->packed_read.store(first.size(), std::memory_order_relaxed);
    // The first member starts at once: the caller saw its magic.
    s->in_member = s->source.kind == packing::gzip;
    s->member = s->in_member ? 1 : 0;
    s->offset = 0;
    s->taken = s->made = 0;
    s->ended = s->read_failed = s->stop = false;
    s->damage.clear();
    if (own_thread) {
        try {
            s->thread = std::thread(unpack_ahead, std::ref(*s));
        } catch (const std::system_error&) {
        }
    }
    return s;
}

long pull_unpacked(unpacked_stream& s, char* data, std::size_t size) {
    {
        std::unique_lock<std::mutex> held(s.lock);
        if (!wait_for_block(s, held)) return s.read_failed || !s.damage.empty() ? -1 : 0;
    }
    const unpacked_block& block = s.blocks[s.taken % UNPACKED_BLOCKS];
    const std::size_t n = std::min(size, block.size - s.offset);
    std::memcpy(data, block.data.get() + s.offset, n);
    s.offset += n;
    if (s.offset == block.size) {
        s.offset = 0;
        {
            const std::lock_guard<std::mutex> held(s.lock);
            ++s.taken;
        }
        s.changed.notify_all();
    }
    // An empty block (a stream that ended on a block's edge) gives nothing: look again.
    return n == 0 ? pull_unpacked(s, data, size) : static_cast<long>(n);
}

bool unpacked_may_wait(const unpacked_stream& s) {
    return s.source.wait_fd >= 0;
}

bool unpacked_ready(unpacked_stream& s) {
    const std::lock_guard<std::mutex> held(s.lock);
    if (s.taken < s.made || s.ended) return true;
    // Without a thread of its own the reader unpacks: at once, unless that waits on a pipe.
    return !s.thread.joinable() && !unpacking_would_wait(s);
}

std::string drain_unpacked(unpacked_stream& s) {
    std::unique_lock<std::mutex> held(s.lock);
    for (;;) {
        if (!wait_for_block(s, held)) return s.damage;
        ++s.taken;  // dropped whole, unread
        s.offset = 0;
        s.changed.notify_all();
    }
}

std::string unpacked_damage(unpacked_stream& s) {
    const std::lock_guard<std::mutex> held(s.lock);
    return s.damage;
}

std::uint64_t packed_bytes_read(const unpacked_stream& s) {
    return s.packed_read.load(std::memory_order_relaxed);
}
