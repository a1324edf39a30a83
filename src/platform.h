// What differs between hosts, in one place: which file a descriptor or path is, terminals, and
// the standard descriptors and signals a run starts with.
#pragma once

#include <cstdint>
#include <string>

// Which regular file a descriptor or path is: equal identities are one file through any link or
// redirection. Devices such as /dev/null, folders and missing paths have none.
struct file_identity {
    bool known = false;
    std::uint64_t device = 0;
    std::uint64_t index = 0;
};

bool same_file(const file_identity& a, const file_identity& b);
file_identity identity_of_descriptor(int fd);
file_identity identity_of_path(const std::string& path);

bool is_terminal(int fd);
// Whether path names an existing terminal, found without opening it for good. Always false on
// Windows, where a terminal is found once the target is open.
bool names_terminal(const std::string& path);

// Opens the null device on the standard descriptors the caller closed, so that no file opened
// later takes one of their numbers and receives what is meant for standard error. Returns whether
// standard output was one of them: it still may not serve as the target.
bool reserve_standard_descriptors();
// Makes failed writes show as failed writes, not as a silent death by signal: a target pipe whose
// reader went away, a file-size limit (ulimit -f) reached.
void ignore_write_signals();
// Large blocks are mapped and unmapped on their own, at a fixed size: with glibc's moving
// threshold, slots freed after a failed try for more threads would leave the heap unable to give
// what one thread needs under a memory limit. Nothing on other C libraries.
void fixed_block_mapping();
// The bytes of standard input and output pass unchanged on every host.
void binary_standard_streams();

// A new file at path, created for reading and writing (never one that exists: nothing is
// overwritten); its descriptor, or -1 with errno set.
int create_new_file(const std::string& path);
// Gives the file open on fd the permissions of the regular file at path, where there is one: a
// file that replaces it keeps who may read it. Nothing on Windows.
void keep_mode_of(int fd, const std::string& path);
// Sets the size of the file open on fd, filling with zero bytes; false on failure.
bool set_file_size(int fd, std::uint64_t size);
// Writes or reads size bytes at offset of the file open on fd, whatever its position: threads may
// do both at once. Returns the bytes that were, all of them unless an error came first.
std::size_t write_at(int fd, const void* data, std::size_t size, std::uint64_t offset);
std::size_t read_at(int fd, void* data, std::size_t size, std::uint64_t offset);
// Closes fd; false where the system reports bytes lost on the way.
bool close_descriptor(int fd);
// Renames from over to, replacing a file there in one step; false on failure, errno set.
bool replace_file(const std::string& from, const std::string& to);
// While set, a signal that ends the run (interrupt, terminate, hang-up) removes the file at path
// first; an empty path clears it. The file a run leaves half-written must not survive it.
void remove_on_signal(const std::string& path);
