// The directory and members of a zip archive, through minizip: names are only read, never used as
// paths to write. A member's data is handed on as stored (deflate data still compressed), so the
// faster inflater unpacks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct zip_member {
    std::string name;  // as the archive gives it, UTF-8
    std::uint64_t index = 0;
    std::uint64_t size = 0;  // unpacked
    std::uint32_t crc = 0;
    int method = 0;  // 0 stored, 8 deflate, others refused
    bool encrypted = false;
    bool folder = false;
};

struct zip_archive;
struct zip_archive_closer {
    void operator()(zip_archive* archive) const;
};
using zip_handle = std::unique_ptr<zip_archive, zip_archive_closer>;

// Whether this build reads zip archives.
bool has_zip_support();
// Whether the first bytes of a file, [data, data + size), are those of a zip archive.
bool looks_like_zip(const char* data, std::size_t size);

// Opens the archive in the file open on fd (which stays the caller's and must outlive the
// archive; its offset is not moved), and lists its members in the directory's order; null, with
// why, where it is no archive minizip can read.
zip_handle open_zip(int fd, std::vector<zip_member>& members, std::string& why);
// Starts reading the member's stored bytes; false, with why, where its local header is damaged.
bool open_member(zip_archive& archive, const zip_member& member, std::string& why);
// One read of the open member's stored bytes: how many, 0 at their end, -1 on an error.
long read_member(zip_archive& archive, unsigned char* data, std::size_t size);
