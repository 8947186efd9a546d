// Files named by a path of the user's own, as the client's local files are:
// the path is taken as given, with no base directory around it (served
// files go through file_open.h instead). A descriptor that is absent is -1;
// a failed call leaves errno set.
#pragma once

#include <cstddef>
#include <cstdint>

// Opens path for writing: a new file, or with replace an existing one cut
// to nothing. Returns a descriptor, or -1 (*exists set to 1 when the name
// was taken and replace is 0, else to 0).
int create_plain_file(const char* path, int replace, int* exists);

// What a path names, seen before a GET decides how to write it.
constexpr int PLAIN_PATH_ABSENT = 0;  // nothing
constexpr int PLAIN_PATH_FILE = 1;    // a regular file, or a link to one or to nothing
constexpr int PLAIN_PATH_OTHER = 2;   // a directory, a device, a pipe (links followed)
int plain_path_kind(const char* path);

// Creates a new file for writing in the directory of target, under a name
// no other file has (made from target's), exclusively and readable and
// writable by its owner only. Stores the name in name (size bytes).
// Returns a descriptor, or -1.
int create_temporary_plain_file(const char* target, char* name, size_t size);

// Gives the file the permissions a file created by open() would have
// (0666 less the umask on Unix). Returns 1 or 0.
int set_new_file_mode(int fd);

// Renames the closed file from to the name to: over an existing file with
// replace, else only while to does not exist (atomically where the system
// allows it).
constexpr int PLAIN_RENAME_DONE = 0;
constexpr int PLAIN_RENAME_EXISTS = 1;
constexpr int PLAIN_RENAME_FAILED = 2;
int rename_plain_file(const char* from, const char* to, int replace);

// Opens path for reading. Returns a descriptor, or -1 (also for a
// directory).
int open_plain_file(const char* path);

// Reads up to size bytes. Returns the bytes read, 0 at the end, or -1.
long read_plain_file(int fd, void* buffer, size_t size);

// Writes up to size bytes. Returns the bytes written (at least one when
// size is not 0) or -1.
long write_plain_file(int fd, const void* data, size_t size);

// Moves the position to offset. Returns 1 or 0.
int seek_plain_file(int fd, uint64_t offset);

// The file's length in bytes, or 0 when it cannot be had.
int64_t plain_file_size(int fd);

// Closes fd. Returns 1, or 0 when the system reports a failure (data that
// could not be written at the end).
int close_plain_file(int fd);

// Removes the file named path. Returns 1 or 0.
int remove_plain_file(const char* path);
