#include "platform/file_open.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr size_t STREAM_BUFFER = 64 * 1024;

int is_directory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int file_exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

static FILE* stream_on(int fd, const char* mode) {
  FILE* f = fdopen(fd, mode);
  if (!f) {
    close(fd);
    return nullptr;
  }
  setvbuf(f, nullptr, _IOFBF, STREAM_BUFFER);
  return f;
}

// Keeps fd only when it is a regular file; then makes it blocking again.
// Files are opened with O_NONBLOCK so that a FIFO cannot stall the open.
static int keep_regular(int fd, struct stat* st) {
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

FILE* open_read_stream(const char* path, uint64_t* size_out) {
  struct stat st;
  int fd = keep_regular(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY), &st);
  if (fd < 0) return nullptr;
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  *size_out = static_cast<uint64_t>(st.st_size);
  return stream_on(fd, "rb");
}

FILE* open_write_stream(const char* path, int* created) {
  const int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd = open(path, flags | O_CREAT | O_EXCL, 0644);
  *created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = open(path, flags);
  struct stat st;
  fd = keep_regular(fd, &st);
  return fd < 0 ? nullptr : stream_on(fd, "wb");
}

int truncate_write_stream(FILE* stream) {
  fflush(stream);
  if (ftruncate(fileno(stream), 0) != 0) return 0;
  rewind(stream);
  return 1;
}
