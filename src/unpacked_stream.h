// A compressed stream unpacked as it is read: a gzip file (any number of members) or a zip
// member, stored or deflated. The inflate runs on its own thread a few blocks ahead of the
// reader, or, with one thread for the whole run, inside the reader's own pulls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "inflate.h"

enum class packing { gzip, deflate, stored };

struct packed_source {
    packing kind = packing::gzip;
    inflate_engine engine = inflate_engine::isal;
    // One read of the compressed bytes into [data, data + size): how many, 0 at their end, -1 on
    // an error. Called by the unpacking thread only, once started.
    std::function<long(unsigned char* data, std::size_t size)> read;
    std::string first_bytes;  // already read before the stream was started: its beginning
    // A zip member's CRC-32 and size, as its archive's directory gives them.
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    // A descriptor whose reads may wait indefinitely (a pipe): polled, so that a run that ends
    // early is not held by a writer that never closes it. -1 for a regular file.
    int wait_fd = -1;
};

struct unpacked_stream;
struct unpacked_stream_closer {
    void operator()(unpacked_stream* stream) const;  // stops and joins the thread
};
using unpacked_handle = std::unique_ptr<unpacked_stream, unpacked_stream_closer>;

// Starts unpacking source, on a thread of its own where own_thread is set, in the memory of
// previous where given (stopped first); null where memory or the inflater is lacking (a thread
// that cannot be had leaves the work to the reader).
unpacked_handle start_unpacking(packed_source source, bool own_thread,
                                unpacked_handle previous = {});
// Stops the thread, if any, so that what it reads may go; the stream keeps its memory.
void stop_unpacking(unpacked_stream& stream);

// Moves up to size unpacked bytes into data: how many, 0 at the end of a sound stream, -1 once
// the stream is damaged or a read failed (after every byte unpacked before that point).
long pull_unpacked(unpacked_stream& stream, char* data, std::size_t size);
// Whether a pull could wait indefinitely: the compressed bytes come from a pipe. (Waiting for the
// inflate alone is not that: it is done in a block's time.)
bool unpacked_may_wait(const unpacked_stream& stream);
// Whether a pull would return at once.
bool unpacked_ready(unpacked_stream& stream);
// Unpacks and drops the rest of the stream, so that its checks (a CRC-32 and length after
// the last byte) are made; returns unpacked_damage.
std::string drain_unpacked(unpacked_stream& stream);
// What is wrong with the compressed data, in a few words, or "" while it is sound. A failed read
// is no damage: it shows as -1 from pull_unpacked alone.
std::string unpacked_damage(unpacked_stream& stream);
// The compressed bytes read so far (first_bytes included); any thread may ask.
std::uint64_t packed_bytes_read(const unpacked_stream& stream);
