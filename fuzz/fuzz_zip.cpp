// A zip archive's directory and members on any bytes: never a crash or a hang. Every member that
// would be read is unpacked (stored or deflated) with its CRC-32 and length checked.
#include <cstdint>
#include <string>
#include <vector>

#include "memory_file.h"
#include "unpacked_stream.h"
#include "zip_archive.h"

namespace {

constexpr std::size_t MOST_KEPT = std::size_t(8) << 20;
constexpr std::size_t MEMBERS_READ = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    memory_file file(data, size);
    std::vector<zip_member> members;
    std::string why;
    const zip_handle archive = open_zip(file.fd, members, why);
    if (!archive) {
        if (why.empty()) __builtin_trap();
        return 0;
    }
    for (std::size_t i = 0; i < members.size() && i < MEMBERS_READ; ++i) {
        const zip_member& m = members[i];
        if (m.encrypted || (m.method != 0 && m.method != 8)) continue;
        if (!open_member(*archive, m, why)) continue;
        packed_source source;
        source.kind = m.method == 8 ? packing::deflate : packing::stored;
        source.engine =
            has_inflate_engine(inflate_engine::isal) ? inflate_engine::isal : inflate_engine::zlib;
        source.crc = m.crc;
        source.size = m.size;
        zip_archive* open = archive.get();
        source.read = [open](unsigned char* out, std::size_t room) {
            return read_member(*open, out, room);
        };
        const unpacked_handle stream = start_unpacking(std::move(source), false);
        if (!stream) continue;
        char block[65536];
        std::size_t total = 0;
        long n = 0;
        while (total < MOST_KEPT && (n = pull_unpacked(*stream, block, sizeof block)) > 0) {
            total += static_cast<std::size_t>(n);
        }
        // A member that ends sound gave exactly the size its directory entry says.
        if (n == 0 && unpacked_damage(*stream).empty() && total != m.size) __builtin_trap();
    }
    return 0;
}
