#include "platform/plain_file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>

// The C runtime's descriptors: the same int handles, binary so that no
// line end is changed on the way (netascii is the client's own business).

int create_plain_file(const char* path, int replace, int* exists) {
  int flags = _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT | (replace ? _O_TRUNC : _O_EXCL);
  int fd = _open(path, flags, _S_IREAD | _S_IWRITE);
  *exists = fd < 0 && errno == EEXIST;
  return fd;
}

int open_plain_file(const char* path) {
  int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) return -1;
  struct _stati64 st {};
  if (_fstati64(fd, &st) != 0 || (st.st_mode & _S_IFMT) == _S_IFDIR) {
    _close(fd);
    errno = EISDIR;
    return -1;
  }
  return fd;
}

// The runtime counts in unsigned int and returns int.
static unsigned chunk_of(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<unsigned>(size); }

long read_plain_file(int fd, void* buffer, size_t size) { return _read(fd, buffer, chunk_of(size)); }

long write_plain_file(int fd, const void* data, size_t size) {
  int n = _write(fd, data, chunk_of(size));
  if (n == 0 && size != 0) {
    errno = ENOSPC;
    return -1;
  }
  return n;
}

int seek_plain_file(int fd, uint64_t offset) {
  return offset <= static_cast<uint64_t>(LLONG_MAX) && _lseeki64(fd, static_cast<long long>(offset), SEEK_SET) >= 0;
}

int64_t plain_file_size(int fd) {
  struct _stati64 st {};
  if (fd < 0 || _fstati64(fd, &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

int is_regular_plain_file(int fd) {
  struct _stati64 st {};
  return _fstati64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

int close_plain_file(int fd) { return _close(fd) == 0; }

int remove_plain_file(const char* path) { return _unlink(path) == 0; }
