// The process's file creation mask, read without changing it: umask() can
// only be read by setting it, which would race with every other thread
// (of the server, or of the program that loaded the client library).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

inline mode_t process_umask() {
  int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 022;
  char text[4096];
  size_t used = 0;
  while (used < sizeof text - 1) {
    ssize_t n = read(fd, text + used, sizeof text - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  text[used] = 0;
  const char* line = std::strstr(text, "\nUmask:");
  if (!line) return 022;
  char* end = nullptr;
  unsigned long mask = std::strtoul(line + 7, &end, 8);
  return end != line + 7 ? static_cast<mode_t>(mask & 0777) : 022;
}
