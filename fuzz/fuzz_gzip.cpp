// The gzip unpacking on any bytes, through ISA-L and through zlib: never a crash or a hang, and
// where both find the stream sound they give the same bytes. The first byte sets how the
// compressed bytes arrive: all at once, or in reads of 1 to 255 bytes, so every refill edge is met.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "unpacked_stream.h"

namespace {

// Output kept per engine: a small input may inflate a thousandfold.
constexpr std::size_t MOST_KEPT = std::size_t(8) << 20;

struct unpacked {
    std::string bytes;
    bool sound = false;
};

unpacked unpack(inflate_engine engine, const std::uint8_t* data, std::size_t size,
                std::size_t piece) {
    packed_source source;
    source.kind = packing::gzip;
    source.engine = engine;
    std::size_t at = 0;
    if (piece == 0) {
        source.first_bytes.assign(reinterpret_cast<const char*>(data), size);
        at = size;
    }
    source.read = [&](unsigned char* out, std::size_t room) {
        const std::size_t n = std::min({room, piece, size - at});
        std::memcpy(out, data + at, n);
        at += n;
        return static_cast<long>(n);
    };
    unpacked result;
    const unpacked_handle stream = start_unpacking(std::move(source), false);
    if (!stream) return result;
    char block[65536];
    long n = 0;
    while ((n = pull_unpacked(*stream, block, sizeof block)) > 0) {
        if (result.bytes.size() < MOST_KEPT)
            result.bytes.append(block, static_cast<std::size_t>(n));
        if (result.bytes.size() >= MOST_KEPT) return result;  // not judged
    }
    result.sound = n == 0 && unpacked_damage(*stream).empty();
    if (!result.sound && unpacked_damage(*stream).empty()) __builtin_trap();  // said why
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t piece = data[0];
    // The caller starts a stream only on the magic.
    std::string input("\x1f\x8b", 2);
    input.append(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(input.data());
    unpacked results[2];
    int engines = 0;
    for (const inflate_engine engine : {inflate_engine::isal, inflate_engine::zlib}) {
        if (has_inflate_engine(engine))
            results[engines++] = unpack(engine, bytes, input.size(), piece);
    }
    if (engines == 2 && results[0].sound && results[1].sound &&
        results[0].bytes != results[1].bytes) {
        __builtin_trap();
    }
    return 0;
}
