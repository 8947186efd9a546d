#include "platform/plain_file.h"
#include "process_umask.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int create_plain_file(const char* path, int replace, int* exists) {
  // O_EXCL tells an existing file apart even when it cannot be read.
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
  int fd = open(path, flags, 0666);
  *exists = fd < 0 && errno == EEXIST;
  return fd;
}

int plain_path_kind(const char* path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return PLAIN_PATH_ABSENT;
  if (S_ISREG(st.st_mode)) return PLAIN_PATH_FILE;
  if (!S_ISLNK(st.st_mode)) return PLAIN_PATH_OTHER;
  // A link is replaced, not followed, unless it leads to a device or the like.
  if (stat(path, &st) != 0 || S_ISREG(st.st_mode)) return PLAIN_PATH_FILE;
  return PLAIN_PATH_OTHER;
}

// Longest part of the target's name kept in the temporary name, so that the
// name with its prefix and suffix stays within NAME_MAX (255).
constexpr size_t TEMPORARY_BASE_MAX = 200;

int create_temporary_plain_file(const char* target, char* name, size_t size) {
  const char* slash = std::strrchr(target, '/');
  size_t directory = slash ? static_cast<size_t>(slash - target) + 1 : 0;
  const char* base = target + directory;
  int n = std::snprintf(name, size, "%.*s.%.*s.XXXXXX", static_cast<int>(directory), target,
                        static_cast<int>(TEMPORARY_BASE_MAX), base);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    if (size) name[0] = 0;
    errno = ENAMETOOLONG;
    return -1;
  }
  // mkostemp creates with O_EXCL and mode 0600.
  int fd = mkostemp(name, O_CLOEXEC);
  if (fd < 0) name[0] = 0;
  return fd;
}

int set_new_file_mode(int fd) { return fchmod(fd, 0666 & ~process_umask()) == 0; }

int rename_plain_file(const char* from, const char* to, int replace) {
  if (replace) return rename(from, to) == 0 ? PLAIN_RENAME_DONE : PLAIN_RENAME_FAILED;
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return PLAIN_RENAME_DONE;
  if (errno == EEXIST) return PLAIN_RENAME_EXISTS;
  if (errno != EINVAL && errno != ENOSYS) return PLAIN_RENAME_FAILED;
  // A file system without RENAME_NOREPLACE: a new link never replaces a name either.
  if (link(from, to) == 0) {
    unlink(from);
    return PLAIN_RENAME_DONE;
  }
  return errno == EEXIST ? PLAIN_RENAME_EXISTS : PLAIN_RENAME_FAILED;
}

int open_plain_file(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return -1;
  }
  return fd;
}

long read_plain_file(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = read(fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

long write_plain_file(int fd, const void* data, size_t size) {
  for (;;) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && size != 0) {
      errno = ENOSPC;
      return -1;
    }
    return static_cast<long>(n);
  }
}

int seek_plain_file(int fd, uint64_t offset) {
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

int64_t plain_file_size(int fd) {
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

int close_plain_file(int fd) { return close(fd) == 0; }

int remove_plain_file(const char* path) { return unlink(path) == 0; }
