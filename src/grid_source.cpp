#include "grid_source.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "inflate.h"
#include "paths.h"
#include "platform.h"

namespace {

// The reader's block for a small text such as a .prj.
constexpr std::size_t SMALL_TEXT_BLOCK = std::size_t(16) << 10;

// At most this many members are named in a hint; an archive may hold thousands.
constexpr std::size_t MEMBERS_NAMED = 8;

bool ends_with_lowered(std::string_view name, std::string_view suffix) {
    if (name.size() < suffix.size()) return false;
    return std::equal(
        suffix.begin(), suffix.end(), name.end() - static_cast<long>(suffix.size()),
        [](char s, char n) { return s == std::tolower(static_cast<unsigned char>(n)); });
}

bool is_separator(char c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// A member that holds a grid: an .asc file, not the resource forks macOS adds under __MACOSX/.
bool is_grid_member(const zip_member& m) {
    return !m.folder && ends_with_lowered(m.name, ".asc") && m.name.rfind("__MACOSX/", 0) != 0;
}

bool is_file_member(const zip_member& m) {
    return !m.folder && m.name.rfind("__MACOSX/", 0) != 0;
}

std::string shown(const std::string& name) {
    return printable(name, false);
}

// "name them as ARCHIVE/MEMBER: a.zip/x.asc, a.zip/y.asc and 3 more".
std::string members_named(const std::string& archive, const std::vector<const zip_member*>& some) {
    std::string text;
    for (std::size_t i = 0; i < some.size() && i < MEMBERS_NAMED; ++i) {
        text += (i == 0 ? "" : ", ") + shown(archive + "/" + some[i]->name);
    }
    if (some.size() > MEMBERS_NAMED) {
        text += " and " + std::to_string(some.size() - MEMBERS_NAMED) + " more";
    }
    return text;
}

failure no_engine(const std::string& path, std::string_view what, inflate_engine& engine) {
    const char* setting = std::getenv("RASTMILL_INFLATE");
    if (inflate_engine_from_setting(setting, engine)) return {};
    const bool named = setting != nullptr && *setting != '\0';
    if (named && std::string_view(setting) != "isal" && std::string_view(setting) != "zlib") {
        return {MSG_UNKNOWN_INFLATER, shown(setting), "RASTMILL_INFLATE takes isal or zlib"};
    }
    return {MSG_CANNOT_UNPACK, shown(path),
            std::string(what) + (named ? std::string("; this build has no ") + setting
                                       : std::string("; it was built without ISA-L and zlib"))};
}

// A failure that bytes unpacked wrong may have caused.
bool failed_on_source(const failure& f) {
    for (const char* message :
         {MSG_FATAL, MSG_INVALID_INTEGER, MSG_READ_ERROR, MSG_VALUE_CHANGES, MSG_RAW_LONGER,
          MSG_HEADER_VALUE_TOO_LONG, MSG_TEMPLATE_HEADER_TOO_LONG, MSG_NOTHING_TO_MAP}) {
        if (f.message == message) return true;
    }
    return false;
}

failure no_zip_support(const std::string& path) {
    return {MSG_CANNOT_UNPACK, shown(path), "it is a zip archive; it was built without minizip"};
}

member_index index_members(const std::vector<zip_member>& members) {
    member_index index;
    for (std::size_t i = members.size(); i-- > 0;)
        index[members[i].name] = i;
    return index;
}

// The member a source named path reads from the archive file: the one named (wanted), or the
// archive's one grid.
failure choose_member(const std::string& path, const std::string& file, const std::string& wanted,
                      const std::vector<zip_member>& members, const member_index& index,
                      const zip_member*& chosen) {
    // A member named is looked up by name: a mosaic asks for every tile of an archive of
    // thousands. Where a name is in the directory twice, the first is read.
    if (const auto found = index.find(wanted); !wanted.empty() && found != index.end()) {
        chosen = &members[found->second];
        return {};
    }
    std::vector<const zip_member*> grids;
    std::vector<const zip_member*> files;
    for (const zip_member& m : members) {
        if (is_grid_member(m)) grids.push_back(&m);
        if (is_file_member(m)) files.push_back(&m);
    }
    const auto by_name = [](const zip_member* a, const zip_member* b) { return a->name < b->name; };
    std::sort(grids.begin(), grids.end(), by_name);
    if (!wanted.empty()) {
        return {MSG_NO_SUCH_MEMBER, shown(path),
                grids.empty() ? std::string("it holds no .asc member")
                              : "its grids: " + members_named(file, grids)};
    }
    // An archive of one file is taken whatever the file's name (dem.txt).
    if (grids.empty() && files.size() == 1) grids = files;
    if (grids.size() == 1) {
        chosen = grids[0];
        return {};
    }
    if (grids.empty()) return {MSG_NO_GRID_IN_ARCHIVE, shown(path), "it holds no .asc member"};
    return {MSG_SEVERAL_GRIDS, shown(path),
            "name one as ARCHIVE/MEMBER: " + members_named(file, grids)};
}

// The zip methods seen in the field, by number.
std::string method_name(int method) {
    switch (method) {
        case 9: return "Deflate64";
        case 12: return "bzip2";
        case 14: return "LZMA";
        case 93: return "Zstandard";
        case 95: return "xz";
        case 98: return "PPMd";
        default: return "method " + std::to_string(method);
    }
}

failure refuse_member(const std::string& shown_name, const zip_member& m) {
    if (m.encrypted) return {MSG_MEMBER_UNREADABLE, shown_name, "it is encrypted"};
    if (m.method != 0 && m.method != 8) {
        return {MSG_MEMBER_UNREADABLE, shown_name,
                "it is compressed with " + method_name(m.method) +
                    "; only stored and deflated members are read"};
    }
    return {};
}

// Starts unpacking the member of the archive open on source.stream.
failure start_member(grid_source& source, bool own_thread, packed_source& packed) {
    const std::string& file = source.file;
    if (!has_zip_support()) return no_zip_support(file);
    std::string why;
    if (!source.archive) {
        source.archive = open_zip(file_descriptor(source.stream.get()), source.members, why);
        if (!source.archive) return {MSG_BAD_ARCHIVE, shown(file), why};
        source.by_name = index_members(source.members);
    }
    const zip_member* chosen = nullptr;
    if (failure f =
            choose_member(source.path, file, source.member, source.members, source.by_name, chosen);
        f.failed()) {
        return f;
    }
    source.member = chosen->name;
    const std::string name = shown(file + "/" + chosen->name);
    if (failure f = refuse_member(name, *chosen); f.failed()) return f;
    if (chosen->method == 8) {
        if (failure f = no_engine(name, "it is deflated", packed.engine); f.failed()) return f;
    }
    if (!open_member(*source.archive, *chosen, why)) return {MSG_MEMBER_UNREADABLE, name, why};
    packed.kind = chosen->method == 8 ? packing::deflate : packing::stored;
    packed.crc = chosen->crc;
    packed.size = chosen->size;
    zip_archive* archive = source.archive.get();
    packed.read = [archive](unsigned char* data, std::size_t size) {
        return read_member(*archive, data, size);
    };
    source.unpacked = start_unpacking(std::move(packed), own_thread, std::move(source.spare));
    if (!source.unpacked) return {MSG_NO_MEMORY, ""};
    return {};
}

failure start_gzip(grid_source& source, source_reader& reader, bool own_thread,
                   packed_source& packed) {
    if (failure f = no_engine(source.path, "it is gzip", packed.engine); f.failed()) return f;
    packed.kind = packing::gzip;
    packed.first_bytes.assign(reader.pos, reader.end);
    const int fd = reader.fd;
    packed.read = [fd](unsigned char* data, std::size_t size) {
        return read_descriptor(fd, reinterpret_cast<char*>(data), size);
    };
    if (reads_may_wait(reader)) packed.wait_fd = fd;
    source.unpacked = start_unpacking(std::move(packed), own_thread, std::move(source.spare));
    if (!source.unpacked) return {MSG_NO_MEMORY, ""};
    return {};
}

}  // namespace

void stream_closer::operator()(std::FILE* file) const {
    if (file != stdin) std::fclose(file);
}

failure open_file(const std::string& path, const char* mode, std::FILE*& stream) {
    // A directory opens for reading on some systems and then fails at the first read.
    std::error_code error;
    if (std::filesystem::is_directory(native_path(path), error)) {
        return {MSG_CANNOT_OPEN, path, "it is a folder"};
    }
    errno = 0;
    stream = open_named(path, mode);
    if (stream == nullptr) {
        return {MSG_CANNOT_OPEN, path, errno != 0 ? std::strerror(errno) : ""};
    }
    return {};
}

bool split_member_path(const std::string& path, std::string& archive, std::string& member) {
    std::error_code error;
    if (path == "-" ||
        std::filesystem::exists(std::filesystem::symlink_status(native_path(path), error))) {
        return false;
    }
    for (std::size_t i = 1; i + 1 < path.size(); ++i) {
        if (!is_separator(path[i])) continue;
        const std::string prefix = path.substr(0, i);
        const auto status = std::filesystem::status(native_path(prefix), error);
        if (std::filesystem::is_regular_file(status)) {
            archive = prefix;
            member = path.substr(i + 1);
            return true;
        }
        if (!std::filesystem::is_directory(status)) return false;
    }
    return false;
}

std::string file_of_source(const std::string& path) {
    std::string archive, member;
    return split_member_path(path, archive, member) ? archive : path;
}

std::string prj_of_source(const std::string& path) {
    std::string archive, member;
    if (split_member_path(path, archive, member)) {
        return archive + "/" + sidecar_path(member, ".prj");
    }
    if (is_zip_archive(path)) {
        // The archive's one grid, whose .prj is beside it in the archive.
        std::FILE* stream = nullptr;
        if (open_file(path, "rb", stream).failed()) return "";
        const std::unique_ptr<std::FILE, stream_closer> owned(stream);
        std::vector<zip_member> members;
        std::string why;
        const zip_handle opened = open_zip(file_descriptor(stream), members, why);
        const zip_member* chosen = nullptr;
        if (!opened || choose_member(path, path, "", members, {}, chosen).failed()) return "";
        return path + "/" + sidecar_path(chosen->name, ".prj");
    }
    if (ends_with_lowered(path, ".gz"))
        return sidecar_path(path.substr(0, path.size() - 3), ".prj");
    return sidecar_path(path, ".prj");
}

void close_grid_source(grid_source& source) {
    source.unpacked.reset();
    source.spare.reset();
    source.archive.reset();
    source.stream.reset();
}

failure open_grid_source(grid_source& source, const std::string& path, source_reader& reader,
                         bool text_mode, bool own_thread, std::size_t capacity) {
    std::string file, member;
    const bool named_member = split_member_path(path, file, member);
    // The stream before stops reading, and keeps its memory for the next one.
    if (source.unpacked) {
        stop_unpacking(*source.unpacked);
        source.spare = std::move(source.unpacked);
    }
    source.path = path;
    source.member = member;
    packed_source packed;
    if (named_member && source.archive && file == source.file) {
        if (failure f = start_member(source, own_thread, packed); f.failed()) return f;
        open_reader(reader, file_descriptor(source.stream.get()), text_mode, capacity,
                    source.unpacked.get());
        return {};
    }
    source.archive.reset();
    source.stream.reset();
    source.file = named_member ? file : path;
    std::FILE* stream = stdin;
    if (path != "-") {
        if (failure f = open_file(source.file, "rb", stream); f.failed()) return f;
    }
    source.stream.reset(stream);
    // The first bytes say what the file is, before any text-mode rule touches them.
    open_reader(reader, file_descriptor(stream), false, capacity);
    ensure_bytes(reader, 4);
    const auto unread = static_cast<std::size_t>(reader.end - reader.pos);
    const bool gzip = unread >= 2 && reader.pos[0] == '\x1f' && reader.pos[1] == '\x8b';
    const bool zip = looks_like_zip(reader.pos, unread);
    failure f;
    if (gzip && !named_member) {
        f = start_gzip(source, reader, own_thread, packed);
    } else if (zip && path == "-") {
        f = {MSG_ARCHIVE_FROM_STDIN, "standard input", "give the archive's path"};
    } else if (zip) {
        f = start_member(source, own_thread, packed);
    } else if (named_member) {
        f = {MSG_BAD_ARCHIVE, shown(source.file),
             "it is no zip archive, so " + shown(path) + " names no file"};
    } else {
        if (text_mode) start_text_mode(reader);
        return {};
    }
    if (f.failed()) return f;
    open_reader(reader, file_descriptor(stream), text_mode, capacity, source.unpacked.get());
    return {};
}

failure check_grid_source(grid_source& source, failure f) {
    if (!source.unpacked) return f;
    // A pipe is not read on: its writer may keep it open.
    const bool drained =
        !f.failed() || (failed_on_source(f) && !unpacked_may_wait(*source.unpacked));
    const std::string why =
        drained ? drain_unpacked(*source.unpacked) : unpacked_damage(*source.unpacked);
    if (why.empty()) return f;
    const std::string name =
        source.member.empty() ? source.path : source.file + "/" + source.member;
    return {MSG_DAMAGED_SOURCE, shown(name), why + "; the compressed file is damaged"};
}

failure grids_in_archive(const std::string& path, std::vector<std::string>& grids) {
    std::FILE* stream = nullptr;
    if (failure f = open_file(path, "rb", stream); f.failed()) return f;
    const std::unique_ptr<std::FILE, stream_closer> owned(stream);
    if (!has_zip_support()) return no_zip_support(path);
    std::vector<zip_member> members;
    std::string why;
    const zip_handle archive = open_zip(file_descriptor(stream), members, why);
    if (!archive) return {MSG_BAD_ARCHIVE, shown(path), why};
    grids.clear();
    for (const zip_member& m : members) {
        if (is_grid_member(m)) grids.push_back(path + "/" + m.name);
    }
    std::sort(grids.begin(), grids.end());
    return {};
}

bool is_zip_archive(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(native_path(path), error)) return false;
    const std::unique_ptr<std::FILE, stream_closer> file(open_named(path, "rb"));
    char start[4] = {};
    return file && std::fread(start, 1, sizeof start, file.get()) == sizeof start &&
           looks_like_zip(start, sizeof start);
}

std::optional<std::string> small_source_text(const std::string& path, std::size_t limit,
                                             grid_source& source) {
    std::string archive, member;
    const bool in_archive = split_member_path(path, archive, member);
    if (!identity_of_path(in_archive ? archive : path).known) return std::nullopt;
    source_reader reader;
    // A small block: a mosaic asks this of every tile.
    if (open_grid_source(source, path, reader, false, false, SMALL_TEXT_BLOCK).failed()) {
        return std::nullopt;
    }
    // A member that is not there is no .prj: the archive's one grid would be taken instead.
    if (in_archive && source.member != member) return std::nullopt;
    std::string text;
    while (text.size() < limit && ensure_bytes(reader, 1) != 0) {
        const std::size_t n =
            std::min(limit - text.size(), static_cast<std::size_t>(reader.end - reader.pos));
        text.append(reader.pos, n);
        advance_to(reader, reader.pos + n);
    }
    return text;
}

std::string compressed_sources_read() {
    std::string engines;
    for (const inflate_engine engine : {inflate_engine::isal, inflate_engine::zlib}) {
        if (!has_inflate_engine(engine)) continue;
        engines += (engines.empty() ? "" : ", ") + std::string(inflate_engine_name(engine));
    }
    // minizip comes with zlib: without an inflater there is no zip either.
    if (engines.empty()) return "none (built without ISA-L, zlib and minizip)";
    return "gzip (" + engines + "), " +
           (has_zip_support() ? "zip (minizip)" : "no zip (built without minizip)");
}
