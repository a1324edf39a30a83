#include "unpacked_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#ifdef RASTMILL_HAVE_ZLIB
#include <zlib.h>

namespace {

// zlib's deflate, as gzip (one member) or as the raw data of a zip member.
std::string deflated(const std::string& text, bool gzip) {
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, gzip ? 15 + 16 : -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Text of lines of numbers, long enough to cross blocks where asked.
std::string grid_text(std::size_t bytes) {
    std::string text;
    for (unsigned i = 0; text.size() < bytes; ++i)
        text += std::to_string(i * 2654435761u % 100000) + (i % 17 == 16 ? "\n" : " ");
    return text;
}

std::vector<inflate_engine> engines() {
    std::vector<inflate_engine> all;
    for (const inflate_engine e : {inflate_engine::isal, inflate_engine::zlib})
        if (has_inflate_engine(e)) all.push_back(e);
    return all;
}

struct outcome {
    std::string bytes;
    bool sound = false;
    std::string damage;
};

// Unpacks packed as it comes in reads of piece bytes (0: all of it first), its first two bytes
// already read as a caller that saw the magic has them.
outcome unpack(const std::string& packed, packing kind, inflate_engine engine, std::size_t piece,
               bool own_thread, std::uint32_t crc = 0, std::uint64_t size = 0) {
    packed_source source;
    source.kind = kind;
    source.engine = engine;
    source.crc = crc;
    source.size = size;
    std::size_t at = std::min<std::size_t>(kind == packing::gzip ? 2 : 0, packed.size());
    source.first_bytes = packed.substr(0, piece == 0 ? packed.size() : at);
    if (piece == 0) at = packed.size();
    auto shared = std::make_shared<std::size_t>(at);
    source.read = [packed, piece, shared](unsigned char* data, std::size_t room) {
        const std::size_t n = std::min({room, piece, packed.size() - *shared});
        std::memcpy(data, packed.data() + *shared, n);
        *shared += n;
        return static_cast<long>(n);
    };
    outcome result;
    const unpacked_handle stream = start_unpacking(std::move(source), own_thread);
    if (!stream) return result;
    std::vector<char> block(100000);
    long n = 0;
    while ((n = pull_unpacked(*stream, block.data(), block.size())) > 0)
        result.bytes.append(block.data(), static_cast<std::size_t>(n));
    result.damage = unpacked_damage(*stream);
    result.sound = n == 0 && result.damage.empty();
    return result;
}

}  // namespace

// Every member of a stream, whole or in reads of any size, on the reader's thread or its own:
// the bytes gzip was given.
TEST(Unpacked, GzipStreamsAsWritten) {
    const std::string big = grid_text(3 << 20);
    const std::string a = "ncols 3\nnrows 1\n", b = "1 2 3\n";
    const struct {
        const char* name;
        std::string packed;
        std::string text;
    } cases[] = {
        {"one member", deflated(a + b, true), a + b},
        {"members, one of them empty", deflated(a, true) + deflated("", true) + deflated(b, true),
         a + b},
        {"three megabytes", deflated(big, true), big},
    };
    for (const inflate_engine engine : engines()) {
        for (const auto& c : cases) {
            for (const std::size_t piece : {std::size_t(0), std::size_t(1), std::size_t(4093)}) {
                if (piece == 1 && c.text.size() > 100000) continue;
                for (const bool thread : {false, true}) {
                    const outcome got = unpack(c.packed, packing::gzip, engine, piece, thread);
                    EXPECT_TRUE(got.sound) << c.name << " " << piece << ": " << got.damage;
                    EXPECT_TRUE(got.bytes == c.text)
                        << c.name << " " << inflate_engine_name(engine) << " " << piece;
                }
            }
        }
    }
}

// A stream cut anywhere but between members, a byte of a trailer changed, or bytes after the last
// member: damaged, said why, and never a byte that gzip was not given.
TEST(Unpacked, GzipDamageFoundWhereverItIs) {
    const std::string first = "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 2\n";
    const std::string text = first + "3 4\n";
    const std::string one = deflated(first, true);
    const std::string packed = one + deflated("3 4\n", true);
    for (const inflate_engine engine : engines()) {
        for (std::size_t cut = 2; cut < packed.size(); ++cut) {
            const outcome got = unpack(packed.substr(0, cut), packing::gzip, engine, 5, false);
            EXPECT_EQ(got.sound, cut == one.size()) << "cut at " << cut;
            EXPECT_EQ(text.compare(0, got.bytes.size(), got.bytes), 0) << "cut at " << cut;
            // One byte of the next member's magic is no member yet.
            const char* why =
                cut == one.size() + 1 ? "follow the last member" : "the file ends inside";
            if (!got.sound) {
                EXPECT_NE(got.damage.find(why), std::string::npos) << cut;
            }
        }
        // The CRC-32 and the length of each member, and trailing bytes.
        for (const std::size_t at : {one.size() - 8, one.size() - 1, packed.size() - 5}) {
            std::string changed = packed;
            changed[at] = static_cast<char>(changed[at] ^ 0x40);
            const outcome got = unpack(changed, packing::gzip, engine, 0, true);
            EXPECT_FALSE(got.sound) << "byte " << at << " changed";
            EXPECT_NE(got.damage.find("CRC-32 or length"), std::string::npos) << got.damage;
        }
        for (const std::string& after : {std::string("x"), std::string("\x1f"),
                                         std::string(4, '\0'), std::string("\x1f\x8b")}) {
            const outcome got = unpack(packed + after, packing::gzip, engine, 3, false);
            EXPECT_FALSE(got.sound) << after.size() << " bytes after";
            EXPECT_EQ(got.bytes.substr(0, text.size()), text);
        }
    }
}

// A zip member's data, stored or deflated, against its directory's CRC-32 and size.
TEST(Unpacked, ZipMembersCheckedAgainstTheirDirectory) {
    const std::string text = grid_text(600000);
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
    const std::string raw = deflated(text, false);
    for (const inflate_engine engine : engines()) {
        for (const packing kind : {packing::stored, packing::deflate}) {
            const std::string& data = kind == packing::stored ? text : raw;
            const outcome sound = unpack(data, kind, engine, 70000, true, crc, text.size());
            EXPECT_TRUE(sound.sound) << sound.damage;
            EXPECT_TRUE(sound.bytes == text);
            const outcome wrong_crc = unpack(data, kind, engine, 0, false, crc ^ 1, text.size());
            EXPECT_NE(wrong_crc.damage.find("CRC-32"), std::string::npos);
            const outcome wrong_size = unpack(data, kind, engine, 0, false, crc, text.size() + 1);
            EXPECT_NE(wrong_size.damage.find("length"), std::string::npos);
            const outcome cut =
                unpack(data.substr(0, data.size() / 2), kind, engine, 0, true, crc, text.size());
            EXPECT_FALSE(cut.sound);
            EXPECT_FALSE(cut.damage.empty());
        }
    }
}

// The reader may stop early at any point (a bad cell): the unpacking thread is stopped and joined
// while it waits for room or reads.
TEST(Unpacked, StoppedEarlyWhileUnpackingAhead) {
    const std::string packed = deflated(grid_text(4 << 20), true);
    for (const inflate_engine engine : engines()) {
        for (const std::size_t taken : {0, 1, 300000}) {
            packed_source source;
            source.engine = engine;
            source.first_bytes = packed;
            unpacked_handle stream = start_unpacking(std::move(source), true);
            ASSERT_TRUE(stream);
            std::vector<char> block(taken + 1);
            if (taken != 0) pull_unpacked(*stream, block.data(), taken);
            stream.reset();
        }
    }
}

#else

TEST(Unpacked, BuiltWithoutZlib) {
    GTEST_SKIP() << "the tests make compressed data with zlib";
}

#endif
