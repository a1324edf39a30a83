#include "inflate.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#ifdef RASTMILL_HAVE_ISAL
#include <dlfcn.h>
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif
#ifdef RASTMILL_HAVE_ZLIB
#include <zlib.h>
#endif

struct inflater {
    inflate_engine engine = inflate_engine::zlib;
    deflate_framing framing = deflate_framing::gzip;
    std::string_view damage;
#ifdef RASTMILL_HAVE_ISAL
    inflate_state isal{};
#endif
#ifdef RASTMILL_HAVE_ZLIB
    z_stream zlib{};
    bool zlib_started = false;
#endif
};

namespace {

// The largest piece handed to an engine at once: both count in 32-bit unsigned integers.
constexpr std::size_t LARGEST_PIECE = std::size_t(1) << 30;

#ifdef RASTMILL_HAVE_ISAL
// ISA-L is loaded at the first compressed source, not at every start: its loading cost every run
// 0.5 ms, a tenth of converting a small grid, where scripts convert thousands. Where it is not
// installed, zlib inflates.
struct isal_calls {
    decltype(&isal_inflate_init) init = nullptr;
    decltype(&isal_inflate) inflate = nullptr;
    decltype(&crc32_gzip_refl) crc = nullptr;
};

isal_calls load_isal() {
    void* library = dlopen(RASTMILL_ISAL_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return {};
    isal_calls calls;
    calls.init =
        reinterpret_cast<decltype(&isal_inflate_init)>(dlsym(library, "isal_inflate_init"));
    calls.inflate = reinterpret_cast<decltype(&isal_inflate)>(dlsym(library, "isal_inflate"));
    calls.crc = reinterpret_cast<decltype(&crc32_gzip_refl)>(dlsym(library, "crc32_gzip_refl"));
    if (calls.init == nullptr || calls.inflate == nullptr || calls.crc == nullptr) return {};
    return calls;
}

// Null where ISA-L cannot be loaded.
const isal_calls* isal() {
    static const isal_calls calls = load_isal();
    return calls.init != nullptr ? &calls : nullptr;
}

void start_isal(inflater& state) {
    isal()->init(&state.isal);
    state.isal.crc_flag = state.framing == deflate_framing::gzip ? ISAL_GZIP : ISAL_DEFLATE;
}

inflate_step inflate_isal(inflater& state, const unsigned char* in, std::size_t in_size,
                          unsigned char* out, std::size_t out_size) {
    inflate_state& s = state.isal;
    s.next_in = const_cast<std::uint8_t*>(in);  // ISA-L's field is not const; it only reads
    s.avail_in = static_cast<std::uint32_t>(std::min(in_size, LARGEST_PIECE));
    s.next_out = out;
    s.avail_out = static_cast<std::uint32_t>(std::min(out_size, LARGEST_PIECE));
    const std::uint32_t in_given = s.avail_in;
    const std::uint32_t out_given = s.avail_out;
    const int result = isal()->inflate(&s);
    inflate_step step{in_given - s.avail_in, out_given - s.avail_out, inflate_status::more};
    if (result == ISAL_INCORRECT_CHECKSUM) {
        state.damage = "a gzip member's CRC-32 or length disagrees with its trailer";
    } else if (result == ISAL_INVALID_WRAPPER || result == ISAL_UNSUPPORTED_METHOD) {
        state.damage = "a gzip member's header is invalid";
    } else if (result < 0) {
        state.damage = "the deflate data is invalid";
    } else if (s.block_state == ISAL_BLOCK_FINISH) {
        step.status = inflate_status::ended;
    }
    if (result < 0) step.status = inflate_status::damaged;
    return step;
}
#endif

#ifdef RASTMILL_HAVE_ZLIB
bool start_zlib(inflater& state) {
    // 15 bits of window; 16 more asks for the gzip header and trailer, negative for raw data.
    const int bits = state.framing == deflate_framing::gzip ? 15 + 16 : -15;
    if (state.zlib_started) return inflateReset2(&state.zlib, bits) == Z_OK;
    state.zlib_started = inflateInit2(&state.zlib, bits) == Z_OK;
    return state.zlib_started;
}

inflate_step inflate_zlib(inflater& state, const unsigned char* in, std::size_t in_size,
                          unsigned char* out, std::size_t out_size) {
    z_stream& z = state.zlib;
    z.next_in = const_cast<Bytef*>(in);  // const in zlib's interface only with ZLIB_CONST
    z.avail_in = static_cast<uInt>(std::min(in_size, LARGEST_PIECE));
    z.next_out = out;
    z.avail_out = static_cast<uInt>(std::min(out_size, LARGEST_PIECE));
    const uInt in_given = z.avail_in;
    const uInt out_given = z.avail_out;
    const int result = inflate(&z, Z_NO_FLUSH);
    inflate_step step{in_given - z.avail_in, out_given - z.avail_out, inflate_status::more};
    if (result == Z_STREAM_END) {
        step.status = inflate_status::ended;
    } else if (result == Z_DATA_ERROR || result == Z_NEED_DICT || result == Z_STREAM_ERROR ||
               result == Z_MEM_ERROR) {
        step.status = inflate_status::damaged;
        const bool check = z.msg != nullptr && (std::strcmp(z.msg, "incorrect data check") == 0 ||
                                                std::strcmp(z.msg, "incorrect length check") == 0);
        const bool wrapper =
            z.msg != nullptr && (std::strcmp(z.msg, "incorrect header check") == 0 ||
                                 std::strcmp(z.msg, "unknown compression method") == 0);
        state.damage = check     ? "a gzip member's CRC-32 or length disagrees with its trailer"
                       : wrapper ? "a gzip member's header is invalid"
                                 : "the deflate data is invalid";
    }
    return step;
}
#endif

}  // namespace

bool has_inflate_engine(inflate_engine engine) {
#ifdef RASTMILL_HAVE_ISAL
    const bool isal_loaded = engine == inflate_engine::isal && isal() != nullptr;
#else
    constexpr bool isal_loaded = false;
#endif
#ifdef RASTMILL_HAVE_ZLIB
    constexpr bool zlib = true;
#else
    constexpr bool zlib = false;
#endif
    return engine == inflate_engine::isal ? isal_loaded : zlib;
}

bool inflate_engine_from_setting(const char* setting, inflate_engine& engine) {
    const std::string_view name = setting == nullptr ? "" : setting;
    if (name.empty()) {
        engine =
            has_inflate_engine(inflate_engine::isal) ? inflate_engine::isal : inflate_engine::zlib;
    } else if (name == "isal" || name == "zlib") {
        engine = name == "isal" ? inflate_engine::isal : inflate_engine::zlib;
    } else {
        return false;
    }
    return has_inflate_engine(engine);
}

std::string_view inflate_engine_name(inflate_engine engine) {
    return engine == inflate_engine::isal ? "ISA-L" : "zlib";
}

void inflater_deleter::operator()(inflater* state) const {
#ifdef RASTMILL_HAVE_ZLIB
    if (state->zlib_started) inflateEnd(&state->zlib);
#endif
    delete state;
}

inflater_handle new_inflater(inflate_engine engine, deflate_framing framing) {
    if (!has_inflate_engine(engine)) return {};
    inflater_handle state(new (std::nothrow) inflater);
    if (!state) return {};
    state->engine = engine;
    state->framing = framing;
    restart_inflater(*state);
#ifdef RASTMILL_HAVE_ZLIB
    if (engine == inflate_engine::zlib && !state->zlib_started) return {};
#endif
    return state;
}

void restart_inflater(inflater& state) {
    state.damage = {};
#ifdef RASTMILL_HAVE_ISAL
    if (state.engine == inflate_engine::isal) start_isal(state);
#endif
#ifdef RASTMILL_HAVE_ZLIB
    if (state.engine == inflate_engine::zlib) start_zlib(state);
#endif
}

inflate_step inflate_some(inflater& state, const unsigned char* in, std::size_t in_size,
                          unsigned char* out, std::size_t out_size) {
#ifdef RASTMILL_HAVE_ISAL
    if (state.engine == inflate_engine::isal) {
        return inflate_isal(state, in, in_size, out, out_size);
    }
#endif
#ifdef RASTMILL_HAVE_ZLIB
    if (state.engine == inflate_engine::zlib) {
        return inflate_zlib(state, in, in_size, out, out_size);
    }
#endif
    (void)in, (void)in_size, (void)out, (void)out_size;
    state.damage = "this build inflates nothing";
    return {0, 0, inflate_status::damaged};
}

std::string_view inflate_damage(const inflater& state) {
    return state.damage;
}

std::uint32_t crc32_of(std::uint32_t crc, const unsigned char* data, std::size_t size) {
    while (size != 0) {
        const std::size_t piece = std::min(size, LARGEST_PIECE);
#ifdef RASTMILL_HAVE_ISAL
        if (isal() != nullptr) {
            crc = isal()->crc(crc, data, piece);
            data += piece;
            size -= piece;
            continue;
        }
#endif
#ifdef RASTMILL_HAVE_ZLIB
        crc = static_cast<std::uint32_t>(crc32(crc, data, static_cast<uInt>(piece)));
#else
        return 0;
#endif
        data += piece;
        size -= piece;
    }
    return crc;
}
