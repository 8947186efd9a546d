#include "platform/plain_file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

// The C runtime's descriptors: the same int handles, binary so that no
// line end is changed on the way (netascii is the client's own business).

int create_plain_file(const char* path, int replace, int* exists) {
  int flags = _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT | (replace ? _O_TRUNC : _O_EXCL);
  int fd = _open(path, flags, _S_IREAD | _S_IWRITE);
  *exists = fd < 0 && errno == EEXIST;
  return fd;
}

int plain_path_kind(const char* path) {
  struct _stati64 st {};
  if (_stati64(path, &st) != 0) return PLAIN_PATH_ABSENT;
  int type = st.st_mode & _S_IFMT;
  return type == _S_IFREG ? PLAIN_PATH_FILE : PLAIN_PATH_OTHER;
}

// Longest part of the target's name kept in the temporary name.
static const size_t TEMPORARY_BASE_MAX = 200;
// Names tried before giving up when each one is taken.
static const int TEMPORARY_TRIES = 100;

int create_temporary_plain_file(const char* target, char* name, size_t size) {
  // The directory part ends at the last separator or at a drive's colon.
  size_t directory = 0;
  for (size_t i = 0; target[i]; i++) {
    if (target[i] == '\\' || target[i] == '/' || target[i] == ':') directory = i + 1;
  }
  static unsigned counter = 0;
  for (int attempt = 0; attempt < TEMPORARY_TRIES; attempt++) {
    unsigned long long tick = GetTickCount64();
    int n = std::snprintf(name, size, "%.*s.%.*s.%lx%llx%x", static_cast<int>(directory), target,
                          static_cast<int>(TEMPORARY_BASE_MAX), target + directory,
                          GetCurrentProcessId(), tick, ++counter);
    if (n < 0 || static_cast<size_t>(n) >= size) {
      if (size) name[0] = 0;
      errno = ENAMETOOLONG;
      return -1;
    }
    int fd = _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  name[0] = 0;
  return -1;
}

// The file was created with the permissions create_plain_file gives.
int set_new_file_mode(int fd) { return fd >= 0; }

int rename_plain_file(const char* from, const char* to, int replace) {
  if (MoveFileExA(from, to, replace ? MOVEFILE_REPLACE_EXISTING : 0)) return PLAIN_RENAME_DONE;
  DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? PLAIN_RENAME_EXISTS : PLAIN_RENAME_FAILED;
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

int close_plain_file(int fd) { return _close(fd) == 0; }

int remove_plain_file(const char* path) { return _unlink(path) == 0; }
