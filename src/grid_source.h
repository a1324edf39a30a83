// What a run reads a grid from: a file, standard input ("-") or a member of a zip archive
// ("ARCHIVE/MEMBER"), unpacked as it is read where its bytes are gzip or a zip archive, whatever
// its name.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "failure.h"
#include "source_reader.h"
#include "unpacked_stream.h"
#include "zip_archive.h"

// An archive's members by name.
using member_index = std::unordered_map<std::string, std::size_t>;

struct stream_closer {
    void operator()(std::FILE* file) const;  // standard input is left open
};

// Declared in the order they are opened, so they are closed the other way round: the unpacking
// thread stops before the archive and the file it reads go.
struct grid_source {
    std::string path;    // as named
    std::string file;    // the file read: the archive where the grid is one of its members
    std::string member;  // the member read, where file is a zip archive
    std::unique_ptr<std::FILE, stream_closer> stream;
    zip_handle archive;
    std::vector<zip_member> members;  // the archive's
    member_index by_name;
    unpacked_handle unpacked;  // where the source is compressed
    unpacked_handle spare;     // a stopped stream's memory, for the next
};

// Opens stdio stream on path with mode, or fails with "Cannot open file:", the path and why.
failure open_file(const std::string& path, const char* mode, std::FILE*& stream);

// Where path names no file but a member of a zip archive ("tiles.zip/n45e007.asc"): the file
// before the first separator that leads to one, and the member's name after it.
bool split_member_path(const std::string& path, std::string& archive, std::string& member);
// The file a source named path reads: path, or the archive it names a member of.
std::string file_of_source(const std::string& path);
// Where the .prj of the source named path is: beside the grid, or its member beside it in the
// archive (also for an archive named alone); for a gzip file "dem.asc.gz", "dem.prj".
std::string prj_of_source(const std::string& path);

// Opens the source named path and starts reader on it (in text mode or not, with blocks of
// capacity bytes). A gzip file or a zip member is unpacked as it is read, on a thread of its own
// where own_thread is set; an archive named alone gives its one grid member. A member of the
// archive source has open is read from it without reading its directory again.
failure open_grid_source(grid_source& source, const std::string& path, source_reader& reader,
                         bool text_mode, bool own_thread, std::size_t capacity = SOURCE_BLOCK_SIZE);

// Stops the unpacking, then closes the archive and the file.
void close_grid_source(grid_source& source);

// The failure a run that read source ends with, given f, its own: where a compressed source
// proves damaged ("Compressed source is damaged:", with why), that, in place of whatever the
// damage made of its bytes. After a run that went well, or failed on what it read from a file,
// the rest of the source is unpacked and its checks made first: damaged deflate data often
// unpacks to wrong cells long before its CRC-32 says so.
failure check_grid_source(grid_source& source, failure f);

// The grid members of the zip archive at path, in name order, each named "path/MEMBER" as
// open_grid_source takes it.
failure grids_in_archive(const std::string& path, std::vector<std::string>& grids);
// Whether the file at path begins as a zip archive.
bool is_zip_archive(const std::string& path);

// What compressed sources this build reads, and with which libraries, for --version:
// "gzip (ISA-L, zlib), zip (minizip)", or what it lacks.
std::string compressed_sources_read();

// The text of a small file or archive member named path, such as a .prj, cut at limit bytes;
// nothing where there is none, or where it is no regular file (a FIFO would wait for ever).
// source is left open on it: an archive's directory is read once for all the members asked of it.
std::optional<std::string> small_source_text(const std::string& path, std::size_t limit,
                                             grid_source& source);
