// Opening beneath the base on Windows. Every component is opened on its own
// with FILE_FLAG_OPEN_REPARSE_POINT, so a symbolic link, junction or mount
// point is seen as what it is and refused (EXDEV) instead of followed; the
// directories of the walk stay open without FILE_SHARE_DELETE, so none of
// them can be renamed or replaced by a link while the walk goes on. Paths
// are given to the system in their "\\?\" form, so names such as CON or
// "a." are files like any other and not devices or trimmed names.
#include "platform/file_open.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

int file_open_kernel_beneath = 0;  // no kernel resolver here; always the walk

constexpr size_t STREAM_BUFFER = 64 * 1024;
constexpr int WALK_DEPTH_MAX = 128;
constexpr DWORD SHARE_KEEP_NAME = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

static HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Wraps a handle into a descriptor (which then owns it); -1 closes it.
static int descriptor_of(HANDLE h, int flags) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) CloseHandle(h);
  return fd;
}

static void set_errno_from_system(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: errno = EACCES; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
    default: errno = EIO; break;
  }
}

static std::wstring wide_of(const char* text, size_t length) {
  if (length == 0) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), out.data(), n);
  return out;
}

// The final "\\?\X:\..." path of an open handle, without trailing separator.
static int final_path_of(HANDLE h, std::wstring* out) {
  wchar_t buffer[32768];
  DWORD n = GetFinalPathNameByHandleW(h, buffer, sizeof buffer / sizeof buffer[0], FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= sizeof buffer / sizeof buffer[0]) {
    set_errno_from_system(GetLastError());
    return 0;
  }
  out->assign(buffer, n);
  while (out->size() > 7 && out->back() == L'\\') out->pop_back();
  return 1;
}

// 1 when the handle's file is the one its path names; else 0 with EXDEV.
// A reparse point is refused before this; what is caught here is a link the
// system followed without showing one (a Unix symbolic link seen through
// Wine, an 8.3 alias), which could lead anywhere.
static int opened_as_named(HANDLE h, const std::wstring& path) {
  std::wstring opened;
  if (!final_path_of(h, &opened)) return 0;
  if (_wcsicmp(opened.c_str(), path.c_str()) == 0) return 1;
  errno = EXDEV;
  return 0;
}

// Opens one name as it is, a reparse point included, never following it.
static HANDLE open_as_is(const std::wstring& path, DWORD access, DWORD share) {
  return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

static int status_of(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
  if (GetFileInformationByHandle(h, info)) return 1;
  set_errno_from_system(GetLastError());
  return 0;
}

FILE* stream_on_descriptor(int fd, const char* mode) {
  FILE* f = _fdopen(fd, mode);
  if (!f) {
    _close(fd);
    return nullptr;
  }
  setvbuf(f, nullptr, _IOFBF, STREAM_BUFFER);
  return f;
}

long read_file_at(int fd, uint64_t offset, void* buffer, size_t size) {
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  // A positioned read moves the file pointer of a synchronous handle: it is
  // put back, so that the stream over the descriptor reads on where it was.
  LARGE_INTEGER zero{}, position{};
  if (!SetFilePointerEx(h, zero, &position, FILE_CURRENT)) return -1;
  size_t done = 0;
  long result = 0;
  while (done < size) {
    OVERLAPPED at{};
    uint64_t where = offset + done;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    DWORD want = size - done > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size - done);
    DWORD got = 0;
    if (!ReadFile(h, static_cast<uint8_t*>(buffer) + done, want, &got, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      result = -1;
      break;
    }
    if (got == 0) break;
    done += got;
  }
  SetFilePointerEx(h, position, nullptr, FILE_BEGIN);
  return result < 0 ? -1 : static_cast<long>(done);
}

void close_file(int fd) {
  if (fd >= 0) _close(fd);
}

void advise_sequential(int) {
  // The hint is given when a file is opened (FILE_FLAG_SEQUENTIAL_SCAN);
  // a descriptor open already takes none.
}

int open_base_directory(const char* path) {
  std::wstring wide = wide_of(path, strlen(path));
  HANDLE h = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    set_errno_from_system(GetLastError());
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!status_of(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    errno = ENOTDIR;
    return -1;
  }
  return descriptor_of(h, _O_RDONLY);
}

// A walk from the base down: the directories passed, each held open.
struct walk_state {
  HANDLE dirs[WALK_DEPTH_MAX];
  int depth;
  std::wstring path;  // final path of the deepest directory
};

static void walk_close(walk_state* w) {
  for (int i = 0; i < w->depth; i++) CloseHandle(w->dirs[i]);
  w->depth = 0;
}

// The components of relative, "" and "." left out; ".." refused.
static int split_components(const char* relative, std::wstring* parts, int max, int* count) {
  *count = 0;
  const char* p = relative;
  while (*p) {
    while (*p == '\\' || *p == '/') p++;
    const char* start = p;
    while (*p && *p != '\\' && *p != '/') p++;
    size_t n = static_cast<size_t>(p - start);
    if (n == 0 || (n == 1 && start[0] == '.')) continue;
    if (n == 2 && start[0] == '.' && start[1] == '.') {
      errno = EXDEV;
      return 0;
    }
    if (*count >= max) {
      errno = ENAMETOOLONG;
      return 0;
    }
    parts[(*count)++] = wide_of(start, n);
  }
  return 1;
}

// Walks the first `count` components as directories. Returns 1 with the
// deepest one's path in w->path, or 0 with errno.
static int walk_directories(walk_state* w, int base, const std::wstring* parts, int count) {
  w->depth = 0;
  HANDLE base_handle = handle_of(base);
  if (base_handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return 0;
  }
  if (!final_path_of(base_handle, &w->path)) return 0;
  for (int i = 0; i < count; i++) {
    if (w->depth >= WALK_DEPTH_MAX) {
      errno = ENAMETOOLONG;
      return 0;
    }
    std::wstring next = w->path + L"\\" + parts[i];
    HANDLE h = open_as_is(next, FILE_READ_ATTRIBUTES, SHARE_KEEP_NAME);
    if (h == INVALID_HANDLE_VALUE) {
      set_errno_from_system(GetLastError());
      return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!status_of(h, &info)) {
      CloseHandle(h);
      return 0;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !opened_as_named(h, next)) {
      CloseHandle(h);
      errno = EXDEV;
      return 0;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      CloseHandle(h);
      errno = ENOTDIR;
      return 0;
    }
    w->dirs[w->depth++] = h;
    w->path = next;
  }
  return 1;
}

static void fill_status(const BY_HANDLE_FILE_INFORMATION& info, file_status* status) {
  status->device = info.dwVolumeSerialNumber;
  status->index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  status->size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  // FILETIME counts 100 ns from 1601.
  uint64_t ticks = static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 | info.ftLastWriteTime.dwLowDateTime;
  status->modified_ns = (static_cast<int64_t>(ticks) - 116444736000000000LL) * 100;
}

int open_file_beneath(int base, const char* relative, file_status* status) {
  std::wstring parts[WALK_DEPTH_MAX + 1];
  int count;
  if (!split_components(relative, parts, WALK_DEPTH_MAX + 1, &count)) return -1;
  if (count == 0) {
    errno = EISDIR;
    return -1;
  }
  walk_state w;
  if (!walk_directories(&w, base, parts, count - 1)) {
    int saved = errno;
    walk_close(&w);
    errno = saved;
    return -1;
  }
  std::wstring path = w.path + L"\\" + parts[count - 1];
  // Others may go on reading, writing, renaming or replacing the name: this
  // reader keeps the file it opened.
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  DWORD error = GetLastError();
  walk_close(&w);
  if (h == INVALID_HANDLE_VALUE) {
    // A directory cannot be opened for reading without backup semantics.
    if (error == ERROR_ACCESS_DENIED) {
      DWORD attributes = GetFileAttributesW(path.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = EISDIR;
        return -1;
      }
    }
    set_errno_from_system(error);
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  int ok = status_of(h, &info);
  int refusal = !ok                                                  ? errno
                : (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? EXDEV
                : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)     ? EISDIR
                : GetFileType(h) != FILE_TYPE_DISK                       ? EINVAL
                : !opened_as_named(h, path)                              ? EXDEV
                                                                         : 0;
  if (refusal) {
    CloseHandle(h);
    errno = refusal;
    return -1;
  }
  fill_status(info, status);
  return descriptor_of(h, _O_RDONLY);
}

int is_directory_beneath(int base, const char* relative) {
  std::wstring parts[WALK_DEPTH_MAX + 1];
  int count;
  if (!split_components(relative, parts, WALK_DEPTH_MAX + 1, &count)) return 0;
  walk_state w;
  int ok = walk_directories(&w, base, parts, count);
  walk_close(&w);
  return ok;
}

void clear_upload(upload_file* upload) {
  upload->directory = -1;
  upload->name[0] = 0;
  upload->temporary[0] = 0;
  upload->exists = 0;
}

// The full path of a name in the upload's directory.
static int upload_path(const upload_file* upload, const char* name, std::wstring* out) {
  std::wstring directory;
  if (!final_path_of(handle_of(upload->directory), &directory)) return 0;
  *out = directory + L"\\" + wide_of(name, strlen(name));
  return 1;
}

int resolve_upload(int base, const char* relative, upload_file* upload) {
  clear_upload(upload);
  std::wstring parts[WALK_DEPTH_MAX + 1];
  int count;
  if (!split_components(relative, parts, WALK_DEPTH_MAX + 1, &count)) return 0;
  if (count == 0) {
    errno = EISDIR;
    return 0;
  }
  // The last component, for the rename at the end.
  char name[UPLOAD_NAME_SIZE];
  int name_length = WideCharToMultiByte(CP_ACP, 0, parts[count - 1].c_str(), static_cast<int>(parts[count - 1].size()),
                                        name, sizeof name - 1, nullptr, nullptr);
  if (name_length <= 0) {
    errno = ENAMETOOLONG;
    return 0;
  }
  walk_state w;
  if (!walk_directories(&w, base, parts, count - 1)) {
    int saved = errno;
    walk_close(&w);
    errno = saved;
    return 0;
  }
  std::wstring path = w.path + L"\\" + parts[count - 1];
  HANDLE existing = open_as_is(path, FILE_READ_ATTRIBUTES, SHARE_ALL);
  int refusal = 0;
  if (existing != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!status_of(existing, &info))
      refusal = errno;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
      refusal = EXDEV;  // a link as the name is refused, never replaced
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      refusal = EISDIR;
    else if (!opened_as_named(existing, path))
      refusal = EXDEV;
    else
      upload->exists = 1;
    CloseHandle(existing);
  } else {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
      set_errno_from_system(error);
      refusal = errno;
    }
  }
  if (refusal) {
    walk_close(&w);
    errno = refusal;
    return 0;
  }
  // The upload holds its own handle of the directory; the walk's go.
  HANDLE directory = open_as_is(w.path, FILE_READ_ATTRIBUTES, SHARE_KEEP_NAME);
  walk_close(&w);
  if (directory == INVALID_HANDLE_VALUE) {
    set_errno_from_system(GetLastError());
    return 0;
  }
  upload->directory = descriptor_of(directory, _O_RDONLY);
  if (upload->directory < 0) return 0;
  memcpy(upload->name, name, static_cast<size_t>(name_length));
  upload->name[name_length] = 0;
  return 1;
}

int create_upload_file(upload_file* upload) {
  for (int attempt = 0; attempt < 16; attempt++) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint32_t random = static_cast<uint32_t>(counter.QuadPart) * 2654435761u ^ GetCurrentProcessId() ^
                      static_cast<uint32_t>(attempt) << 24;
    snprintf(upload->temporary, sizeof upload->temporary, "%s%08x", UPLOAD_TEMPORARY_PREFIX, random);
    std::wstring path;
    if (!upload_path(upload, upload->temporary, &path)) break;
    // FILE_SHARE_DELETE: the open file is renamed over the name at the end.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h != INVALID_HANDLE_VALUE) return descriptor_of(h, _O_WRONLY);
    if (GetLastError() != ERROR_FILE_EXISTS) {
      set_errno_from_system(GetLastError());
      break;
    }
  }
  upload->temporary[0] = 0;
  return -1;
}

void abandon_upload(upload_file* upload) {
  std::wstring path;
  if (upload->temporary[0] && upload->directory >= 0 && upload_path(upload, upload->temporary, &path))
    DeleteFileW(path.c_str());
  if (upload->directory >= 0) _close(upload->directory);
  clear_upload(upload);
}

int commit_upload(upload_file* upload, int fd, int replace) {
  std::wstring from, to;
  int ok = upload->temporary[0] && FlushFileBuffers(handle_of(fd)) && upload_path(upload, upload->temporary, &from) &&
           upload_path(upload, upload->name, &to);
  if (ok) {
    // The new file was hidden while it filled.
    SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL);
    ok = MoveFileExW(from.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
    if (!ok) set_errno_from_system(GetLastError());
  }
  int saved = errno;
  if (ok) upload->temporary[0] = 0;
  abandon_upload(upload);
  errno = saved;
  return ok;
}
