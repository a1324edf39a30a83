// Deflate streams inflated through whichever library the build has: ISA-L (the faster), or zlib.
// Both check a gzip member's CRC-32 and length themselves; nothing here parses a format by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

enum class inflate_engine { isal, zlib };
// A gzip member (header, deflate data, trailer checked), or deflate data alone, as in a zip.
enum class deflate_framing { gzip, raw };

// Whether this build has the engine.
bool has_inflate_engine(inflate_engine engine);
// The engine that RASTMILL_INFLATE names ("isal", "zlib"), or the best the build has where
// setting is null or empty; false where it names none the build has, or the build has none.
bool inflate_engine_from_setting(const char* setting, inflate_engine& engine);
// "ISA-L" or "zlib".
std::string_view inflate_engine_name(inflate_engine engine);

struct inflater;
struct inflater_deleter {
    void operator()(inflater* state) const;
};
using inflater_handle = std::unique_ptr<inflater, inflater_deleter>;

// A new inflater, or null where memory or the engine is lacking.
inflater_handle new_inflater(inflate_engine engine, deflate_framing framing);
// Ready for the next member of a gzip stream, or another raw stream.
void restart_inflater(inflater& state);

enum class inflate_status {
    more,     // all input taken or all output room filled; call again
    ended,    // the member or raw stream is complete (a gzip member's trailer agreed)
    damaged,  // the data is no deflate stream, or a gzip trailer disagrees; see inflate_damage
};
struct inflate_step {
    std::size_t used = 0;  // input bytes taken
    std::size_t made = 0;  // output bytes written
    inflate_status status = inflate_status::more;
};

// Inflates from [in, in + in_size) into [out, out + out_size). After ended, used leaves the bytes
// that follow the member untouched.
inflate_step inflate_some(inflater& state, const unsigned char* in, std::size_t in_size,
                          unsigned char* out, std::size_t out_size);
// What was wrong with the data after damaged, in a few words.
std::string_view inflate_damage(const inflater& state);

// The CRC-32 of gzip and zip, continued from crc over size bytes at data (through the faster
// library the build has); 0 where it has none.
std::uint32_t crc32_of(std::uint32_t crc, const unsigned char* data, std::size_t size);
