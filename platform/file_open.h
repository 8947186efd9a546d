// Opening served files beneath their base directory (the root or a Prefix
// directory). A symbolic link is followed only while it stays beneath the
// base; one that leads out fails with EXDEV, as does a ".." above the base.
// Only regular files are served: a directory, device or FIFO in the served
// tree must never block or confuse the server.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

// 1 (the default): resolve with the kernel's openat2 RESOLVE_BENEATH first,
// falling back to our own walk where the kernel lacks it or refuses an
// absolute link that points back inside the base. 0: always walk (tests).
extern int file_open_kernel_beneath;

// What the server needs to know of a file it serves: its identity (the
// same file, however it was named, has the same device and index), its
// length and when it was last written.
struct file_status {
  uint64_t device;
  uint64_t index;
  uint64_t size;
  int64_t modified_ns;  // since the epoch
};

// Closes a descriptor of this facility (a file, a base or a directory)
// unless it is -1.
void close_file(int fd);

// Tells the system that the file open on fd will be read from start to end.
void advise_sequential(int fd);

// Opens the base directory itself (links in its own path are the
// administrator's and are followed). Returns a descriptor or -1.
int open_base_directory(const char* path);

// Opens `relative` beneath base for reading. Returns a descriptor of a
// regular file (blocking, not inherited) with its status in *status, or -1
// with errno set: EXDEV out of the base, ENOENT, EISDIR or EINVAL for what
// is not a regular file, ELOOP for too many links.
int open_file_beneath(int base, const char* relative, file_status* status);

// 1 when `relative` names a directory beneath base, else 0.
int is_directory_beneath(int base, const char* relative);

// An upload is written to a new hidden file in the directory of its name and
// renamed over the name once complete, so readers keep the file they opened,
// a failed upload leaves the old file as it was, and the last complete upload
// wins whole. A link as the last component is followed while it stays
// beneath the base, so the file it points to is the one replaced.
constexpr int UPLOAD_NAME_SIZE = 256;
constexpr int UPLOAD_TEMPORARY_SIZE = 32;
// The new file's name: this and eight hex digits.
constexpr const char* UPLOAD_TEMPORARY_PREFIX = ".tftp-upload-";
struct upload_file {
  int directory;                       // the name's directory, -1 when closed
  char name[UPLOAD_NAME_SIZE];         // last component of the name
  char temporary[UPLOAD_TEMPORARY_SIZE];  // the new file's name, "" when none
  int exists;                          // the name held a file when the upload began
  struct stat old;                     // that file's status
};

// An upload that holds nothing.
void clear_upload(upload_file* upload);

// Resolves `relative` beneath base for writing. Fills *upload with the
// directory, the final name and whether a file exists there, and creates
// nothing yet. Returns 1, or 0 with errno (EXDEV out of the base, ENOENT
// when a directory on the way is missing, EISDIR or EINVAL when the name is
// no regular file).
int resolve_upload(int base, const char* relative, upload_file* upload);

// Creates the hidden new file in the upload's directory, held by this
// process (hold_upload_file) while it is open. Returns its descriptor (the
// caller's), or -1.
int create_upload_file(upload_file* upload);

// Makes the new file open on fd permanent: syncs it, gives it the old
// file's permission bits (set-user and set-group bits cleared) and, where
// the process may, its owner, then renames it over the name; with replace 0
// an existing name is never replaced (EEXIST). fd stays open. Returns 1, or
// 0 with errno; either way the upload then holds nothing but the caller's
// fd (a failed new file is removed).
int commit_upload(upload_file* upload, int fd, int replace);

// Removes the new file, if any, and closes the directory.
void abandon_upload(upload_file* upload);

// A buffered stream over the descriptor (which it then owns), or nullptr
// (the descriptor closed).
FILE* stream_on_descriptor(int fd, const char* mode);

// Reads up to size bytes at offset of the file open on fd, without moving
// its position or touching a stream's buffer. Returns the bytes read (fewer
// only at the end of the file) or -1.
long read_file_at(int fd, uint64_t offset, void* buffer, size_t size);
