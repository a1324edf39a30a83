#include "zip_archive.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "platform.h"

#ifdef RASTMILL_HAVE_MINIZIP
#include <minizip/unzip.h>
#endif
#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <sys/stat.h>
#endif

// The archive is read through positioned reads of the caller's descriptor: its offset is not
// moved, and the file read is the one the caller opened and checked. minizip reads a directory
// entry's fields a byte or two at a time, so windows of the file are kept: without them an
// archive of 20,000 members took seconds to list. Two, because opening a member goes from its
// directory entry to its local header and back.
constexpr std::size_t ZIP_WINDOW = std::size_t(16) << 10;

struct zip_window {
    std::unique_ptr<unsigned char[]> bytes{new unsigned char[ZIP_WINDOW]};
    std::uint64_t at = 0;  // holds the file's bytes [at, at + size)
    std::size_t size = 0;
};

struct zip_file_view {
    int fd = -1;
    std::uint64_t size = 0;
    std::uint64_t at = 0;
    bool failed = false;
    zip_window windows[2];
    int last = 0;  // the window read last
};

struct zip_archive {
    zip_file_view file;
#ifdef RASTMILL_HAVE_MINIZIP
    unzFile zip = nullptr;
    std::vector<unz64_file_pos> places;  // of each member in the directory, by index
    bool member_open = false;
#endif
};

void zip_archive_closer::operator()(zip_archive* archive) const {
#ifdef RASTMILL_HAVE_MINIZIP
    if (archive->member_open) unzCloseCurrentFile(archive->zip);
    if (archive->zip != nullptr) unzClose(archive->zip);
#endif
    delete archive;
}

bool has_zip_support() {
#ifdef RASTMILL_HAVE_MINIZIP
    return true;
#else
    return false;
#endif
}

bool looks_like_zip(const char* data, std::size_t size) {
    // A local file header, or the end of the directory of an empty archive.
    return size >= 4 && data[0] == 'P' && data[1] == 'K' &&
           ((data[2] == 3 && data[3] == 4) || (data[2] == 5 && data[3] == 6));
}

#ifdef RASTMILL_HAVE_MINIZIP

namespace {

voidpf ZCALLBACK view_open(voidpf opaque, const void*, int) {
    return opaque;
}

// The window holding the byte at, refilled (the one read less lately) where neither does; null
// at the end of the file.
zip_window* window_for(zip_file_view& view, std::uint64_t at) {
    for (int i : {view.last, 1 - view.last}) {
        zip_window& w = view.windows[i];
        if (at >= w.at && at < w.at + w.size) {
            view.last = i;
            return &w;
        }
    }
    view.last = 1 - view.last;
    zip_window& w = view.windows[view.last];
    w.at = at;
    w.size = read_at(view.fd, w.bytes.get(), ZIP_WINDOW, at);
    return w.size == 0 ? nullptr : &w;
}

uLong ZCALLBACK view_read(voidpf, voidpf stream, void* data, uLong size) {
    auto& view = *static_cast<zip_file_view*>(stream);
    if (view.at >= view.size) return 0;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size, view.size - view.at));
    auto* out = static_cast<unsigned char*>(data);
    std::size_t done = 0;
    // A large read (a member's data) goes straight to the caller.
    if (want >= ZIP_WINDOW) done = read_at(view.fd, out, want, view.at);
    while (done < want) {
        const zip_window* w = window_for(view, view.at + done);
        if (w == nullptr) break;
        const auto offset = static_cast<std::size_t>(view.at + done - w->at);
        const std::size_t n = std::min(want - done, w->size - offset);
        std::memcpy(out + done, w->bytes.get() + offset, n);
        done += n;
    }
    if (done < want) view.failed = true;
    view.at += done;
    return static_cast<uLong>(done);
}

uLong ZCALLBACK view_write(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T ZCALLBACK view_tell(voidpf, voidpf stream) {
    return static_cast<zip_file_view*>(stream)->at;
}

long ZCALLBACK view_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto& view = *static_cast<zip_file_view*>(stream);
    const std::uint64_t base = origin == ZLIB_FILEFUNC_SEEK_CUR   ? view.at
                               : origin == ZLIB_FILEFUNC_SEEK_END ? view.size
                                                                  : 0;
    // A seek past either end is refused, as a damaged directory may ask for one.
    if (offset > view.size || base > view.size - offset) return -1;
    view.at = base + offset;
    return 0;
}

int ZCALLBACK view_close(voidpf, voidpf) {
    return 0;
}

int ZCALLBACK view_error(voidpf, voidpf stream) {
    return static_cast<zip_file_view*>(stream)->failed ? 1 : 0;
}

bool file_size(int fd, std::uint64_t& size) {
#ifdef _WIN32
    struct _stat64 status {};
    if (_fstat64(fd, &status) != 0) return false;
#else
    struct stat status {};
    if (fstat(fd, &status) != 0) return false;
#endif
    size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

}  // namespace

zip_handle open_zip(int fd, std::vector<zip_member>& members, std::string& why) {
    members.clear();
    zip_handle archive(new zip_archive);
    archive->file.fd = fd;
    if (!file_size(fd, archive->file.size)) {
        why = std::strerror(errno);
        return {};
    }
    zlib_filefunc64_def calls{view_open, view_read,  view_write, view_tell,
                              view_seek, view_close, view_error, &archive->file};
    archive->zip = unzOpen2_64("", &calls);
    if (archive->zip == nullptr) {
        why = archive->file.failed ? "it could not be read" : "its directory is missing or damaged";
        return {};
    }
    std::string name(65536, '\0');
    for (int next = unzGoToFirstFile(archive->zip); next != UNZ_END_OF_LIST_OF_FILE;
         next = unzGoToNextFile(archive->zip)) {
        unz_file_info64 info{};
        unz64_file_pos place{};
        if (next != UNZ_OK ||
            unzGetCurrentFileInfo64(archive->zip, &info, name.data(),
                                    static_cast<uLong>(name.size()), nullptr, 0, nullptr,
                                    0) != UNZ_OK ||
            unzGetFilePos64(archive->zip, &place) != UNZ_OK) {
            why = "its directory is damaged";
            return {};
        }
        zip_member m;
        m.name.assign(name.data(), std::min<std::size_t>(info.size_filename, name.size()));
        m.index = members.size();
        m.size = info.uncompressed_size;
        m.crc = static_cast<std::uint32_t>(info.crc);
        m.method = static_cast<int>(info.compression_method);
        m.encrypted = (info.flag & 1) != 0;
        m.folder = !m.name.empty() && m.name.back() == '/';
        members.push_back(std::move(m));
        archive->places.push_back(place);
    }
    return archive;
}

bool open_member(zip_archive& archive, const zip_member& member, std::string& why) {
    if (archive.member_open) unzCloseCurrentFile(archive.zip);
    archive.member_open = false;
    int method = 0;
    int level = 0;
    // Raw: the member's bytes as stored, deflate data left for the inflater.
    if (member.index >= archive.places.size() ||
        unzGoToFilePos64(archive.zip, &archive.places[member.index]) != UNZ_OK ||
        unzOpenCurrentFile2(archive.zip, &method, &level, 1) != UNZ_OK) {
        why = "its local header is missing or damaged";
        return false;
    }
    archive.member_open = true;
    return true;
}

long read_member(zip_archive& archive, unsigned char* data, std::size_t size) {
    if (!archive.member_open) return -1;
    const int n = unzReadCurrentFile(archive.zip, data,
                                     static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
    return n < 0 ? -1 : static_cast<long>(n);
}

#else

zip_handle open_zip(int, std::vector<zip_member>& members, std::string& why) {
    members.clear();
    why = "this build reads no zip archives";
    return {};
}

bool open_member(zip_archive&, const zip_member&, std::string& why) {
    why = "this build reads no zip archives";
    return false;
}

long read_member(zip_archive&, unsigned char*, std::size_t) {
    return -1;
}

#endif
