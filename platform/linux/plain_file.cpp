#include "platform/plain_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int create_plain_file(const char* path, int replace, int* exists) {
  // O_EXCL tells an existing file apart even when it cannot be read.
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
  int fd = open(path, flags, 0666);
  *exists = fd < 0 && errno == EEXIST;
  return fd;
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

int is_regular_plain_file(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

int close_plain_file(int fd) { return close(fd) == 0; }

int remove_plain_file(const char* path) { return unlink(path) == 0; }
