#include "platform/file_open.h"
#include "platform/upload_leftovers.h"
#include "process_umask.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int file_open_kernel_beneath = 1;

constexpr size_t STREAM_BUFFER = 64 * 1024;
constexpr int LINK_BUDGET = 40;  // as the kernel allows
constexpr int WALK_DEPTH_MAX = 256;
constexpr size_t WALK_PATH_SIZE = 4096;

FILE* stream_on_descriptor(int fd, const char* mode) {
  FILE* f = fdopen(fd, mode);
  if (!f) {
    close(fd);
    return nullptr;
  }
  setvbuf(f, nullptr, _IOFBF, STREAM_BUFFER);
  return f;
}

long read_file_at(int fd, uint64_t offset, void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, static_cast<uint8_t*>(buffer) + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

int open_base_directory(const char* path) { return open(path, O_PATH | O_DIRECTORY | O_CLOEXEC); }

// The directories of a walk from the base down, each held open, so that
// ".." is taken from our own record and never from the file system.
struct walk_state {
  int dirs[WALK_DEPTH_MAX];
  int depth;  // dirs[0] is a copy of the base
  char rest[WALK_PATH_SIZE];  // components still to walk, "/"-separated
  int links;
};

static void walk_close(walk_state* w) {
  for (int i = 0; i < w->depth; i++) close(w->dirs[i]);
  w->depth = 0;
}

static int walk_start(walk_state* w, int base, const char* relative) {
  w->depth = 0;
  w->links = 0;
  if (strlen(relative) >= sizeof w->rest) {
    errno = ENAMETOOLONG;
    return 0;
  }
  strcpy(w->rest, relative);
  int copy = fcntl(base, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return 0;
  w->dirs[w->depth++] = copy;
  return 1;
}

// Takes the next component off w->rest into name (NAME_MAX + 1 bytes);
// returns 0 when none is left. "" and "." are skipped.
static int next_component(walk_state* w, char* name) {
  for (;;) {
    char* p = w->rest;
    while (*p == '/') p++;
    if (*p == 0) {
      w->rest[0] = 0;
      return 0;
    }
    char* end = strchr(p, '/');
    size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
    if (n > NAME_MAX) {
      errno = ENAMETOOLONG;
      return -1;
    }
    memcpy(name, p, n);
    name[n] = 0;
    memmove(w->rest, p + n, strlen(p + n) + 1);
    if (strcmp(name, ".") != 0) return 1;
  }
}

// 1 when nothing but separators is left to walk.
static int walk_at_end(const walk_state* w) {
  for (const char* p = w->rest; *p; p++)
    if (*p != '/') return 0;
  return 1;
}

// The canonical path of the base, for absolute links that point back
// inside it.
static int base_path(int base, char* out, size_t size) {
  char proc[64];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", base);
  ssize_t n = readlink(proc, out, size - 1);
  if (n <= 0) return 0;
  out[n] = 0;
  return 1;
}

// Puts the link's target in front of what is left to walk. An absolute
// target is taken only when it lies beneath the base, and then walked from
// the base.
static int follow_link(walk_state* w, int link_fd) {
  if (++w->links > LINK_BUDGET) {
    errno = ELOOP;
    return 0;
  }
  char target[WALK_PATH_SIZE];
  ssize_t n = readlinkat(link_fd, "", target, sizeof target - 1);
  if (n <= 0) {
    if (n == 0) errno = ENOENT;
    return 0;
  }
  target[n] = 0;
  const char* walk_from = target;
  if (target[0] == '/') {
    char base[WALK_PATH_SIZE];
    if (!base_path(w->dirs[0], base, sizeof base)) {
      errno = EXDEV;
      return 0;
    }
    size_t b = strlen(base);
    while (b > 1 && base[b - 1] == '/') base[--b] = 0;
    if (strncmp(target, base, b) != 0 || (target[b] != '/' && target[b] != 0)) {
      errno = EXDEV;
      return 0;
    }
    walk_from = target + b;
    while (w->depth > 1) close(w->dirs[--w->depth]);
  }
  size_t head = strlen(walk_from), tail = strlen(w->rest);
  if (head + 1 + tail >= sizeof w->rest) {
    errno = ENAMETOOLONG;
    return 0;
  }
  memmove(w->rest + head + 1, w->rest, tail + 1);
  memcpy(w->rest, walk_from, head);
  w->rest[head] = '/';
  return 1;
}

enum { WALK_TO_FILE = 0, WALK_TO_PARENT = 1 };

// Walks w->rest beneath the base. WALK_TO_FILE: *result is an O_PATH
// descriptor of the last component. WALK_TO_PARENT: the last component is
// left in last_name, its directory is the top of w->dirs, and *result is -1;
// the caller looks at the name itself. Returns 1 or 0 with errno.
static int walk(walk_state* w, int how, char* last_name, int* result) {
  char name[NAME_MAX + 1];
  *result = -1;
  for (;;) {
    int got = next_component(w, name);
    if (got < 0) return 0;
    if (got == 0) {
      // The walk ended on a directory ("a/" or the base itself).
      if (how == WALK_TO_PARENT) {
        errno = EISDIR;
        return 0;
      }
      *result = fcntl(w->dirs[w->depth - 1], F_DUPFD_CLOEXEC, 0);
      return *result >= 0;
    }
    if (strcmp(name, "..") == 0) {
      if (w->depth <= 1) {
        errno = EXDEV;
        return 0;
      }
      close(w->dirs[--w->depth]);
      continue;
    }
    int last = walk_at_end(w);
    if (last && how == WALK_TO_PARENT) {
      strcpy(last_name, name);
      return 1;
    }
    int fd = openat(w->dirs[w->depth - 1], name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st;
    if (fstat(fd, &st) != 0) {
      close(fd);
      return 0;
    }
    if (S_ISLNK(st.st_mode)) {
      int ok = follow_link(w, fd);
      close(fd);
      if (!ok) return 0;
      continue;
    }
    if (last) {
      *result = fd;
      return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
      close(fd);
      errno = ENOTDIR;
      return 0;
    }
    if (w->depth >= WALK_DEPTH_MAX) {
      close(fd);
      errno = ENAMETOOLONG;
      return 0;
    }
    w->dirs[w->depth++] = fd;
  }
}

// The kernel's own confinement: no component may leave the base.
static int open_with_kernel(int base, const char* relative, int flags) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(syscall(SYS_openat2, base, relative, &how, sizeof how));
}

// Opens relative beneath base with flags (no O_CREAT). Returns a descriptor
// or -1 with errno.
static int open_beneath(int base, const char* relative, int flags) {
  if (file_open_kernel_beneath) {
    int fd = open_with_kernel(base, relative, flags);
    // EXDEV may be an absolute link that points back inside: the walk
    // decides that; ENOSYS is a kernel without openat2.
    if (fd >= 0 || (errno != EXDEV && errno != ENOSYS && errno != EAGAIN)) return fd;
  }
  walk_state w;
  if (!walk_start(&w, base, relative)) return -1;
  int path_fd;
  int ok = walk(&w, WALK_TO_FILE, nullptr, &path_fd);
  int saved = errno;
  walk_close(&w);
  if (!ok) {
    errno = saved;
    return -1;
  }
  // Reopened through the descriptor the walk holds, never by name again.
  char proc[64];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", path_fd);
  int fd = open(proc, flags);
  saved = errno;
  close(path_fd);
  errno = saved;
  return fd;
}

void close_file(int fd) {
  if (fd >= 0) close(fd);
}

void advise_sequential(int fd) { posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); }

int open_file_beneath(int base, const char* relative, file_status* status) {
  // O_NONBLOCK: a FIFO in the tree cannot stall the open.
  int fd = open_beneath(base, relative, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    close(fd);
    errno = error;
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  status->device = static_cast<uint64_t>(st.st_dev);
  status->index = static_cast<uint64_t>(st.st_ino);
  status->size = static_cast<uint64_t>(st.st_size);
  status->modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return fd;
}

int is_directory_beneath(int base, const char* relative) {
  int fd = open_beneath(base, relative, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  close(fd);
  return 1;
}

void clear_upload(upload_file* upload) {
  upload->directory = -1;
  upload->name[0] = 0;
  upload->temporary[0] = 0;
  upload->exists = 0;
}

int resolve_upload(int base, const char* relative, upload_file* upload) {
  clear_upload(upload);
  walk_state w;
  if (!walk_start(&w, base, relative)) return 0;
  for (;;) {
    int unused;
    if (!walk(&w, WALK_TO_PARENT, upload->name, &unused)) break;
    int directory = w.dirs[w.depth - 1];
    struct stat st;
    if (fstatat(directory, upload->name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) break;
    } else if (S_ISLNK(st.st_mode)) {
      // The file the link names is the one to replace; its own directory
      // is walked to from here.
      int link_fd = openat(directory, upload->name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
      if (link_fd < 0) break;
      int ok = follow_link(&w, link_fd);
      close(link_fd);
      if (!ok) break;
      continue;
    } else if (!S_ISREG(st.st_mode)) {
      errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      break;
    } else {
      upload->exists = 1;
      upload->old = st;
    }
    upload->directory = fcntl(directory, F_DUPFD_CLOEXEC, 0);
    walk_close(&w);
    return upload->directory >= 0;
  }
  int saved = errno;
  walk_close(&w);
  errno = saved;
  return 0;
}

int create_upload_file(upload_file* upload) {
  for (int attempt = 0; attempt < 16; attempt++) {
    uint32_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
      random = static_cast<uint32_t>(getpid()) * 2654435761u + static_cast<uint32_t>(attempt);
    snprintf(upload->temporary, sizeof upload->temporary, "%s%08x", UPLOAD_TEMPORARY_PREFIX, random);
    int fd = openat(upload->directory, upload->temporary,
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0) {
      // A new file nobody else knows of: the lock is free, and a failure
      // only leaves it open to another server's start-up search.
      hold_upload_file(fd);
      return fd;
    }
    if (errno != EEXIST) break;
  }
  upload->temporary[0] = 0;
  return -1;
}

void abandon_upload(upload_file* upload) {
  if (upload->temporary[0] && upload->directory >= 0) unlinkat(upload->directory, upload->temporary, 0);
  if (upload->directory >= 0) close(upload->directory);
  clear_upload(upload);
}

// Renames the new file over the name; without replace, never over an
// existing one.
static int put_in_place(upload_file* upload, int replace) {
  if (replace) return renameat(upload->directory, upload->temporary, upload->directory, upload->name) == 0;
  if (syscall(SYS_renameat2, upload->directory, upload->temporary, upload->directory, upload->name,
              RENAME_NOREPLACE) == 0)
    return 1;
  if (errno != EINVAL && errno != ENOSYS) return 0;
  // A file system without RENAME_NOREPLACE: a hard link fails just the same
  // when the name exists.
  if (linkat(upload->directory, upload->temporary, upload->directory, upload->name, 0) != 0) return 0;
  unlinkat(upload->directory, upload->temporary, 0);
  return 1;
}

int commit_upload(upload_file* upload, int fd, int replace) {
  int ok = upload->temporary[0] && fsync(fd) == 0;
  // The new file was private while it filled; a new name gets the usual
  // permissions only now.
  if (ok && !upload->exists) fchmod(fd, 0644 & ~process_umask());
  if (ok && upload->exists) {
    // The old file's read and write permissions only: contents from the
    // network must never become a program (no execute bits) nor inherit
    // set-user, set-group or sticky rights.
    fchmod(fd, upload->old.st_mode & 0666);
    if (fchown(fd, upload->old.st_uid, upload->old.st_gid) != 0) {
      // Only a privileged server may give a file away; others keep their own.
    }
  }
  ok = ok && put_in_place(upload, replace);
  int saved = errno;
  if (ok) upload->temporary[0] = 0;
  abandon_upload(upload);
  errno = saved;
  return ok;
}
