// Directory of the running executable, from /proc/self/exe.
#include "platform/program_path.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

// The executable's full path, or an empty string with errno set.
static std::string executable_path() {
  // readlink does not say how long the target is; grow until it fits.
  std::string target(256, '\0');
  for (int tries = 0; tries < 8; ++tries) {
    ssize_t n = readlink("/proc/self/exe", target.data(), target.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
  errno = ENAMETOOLONG;
  return std::string();
}

// Copies the first length bytes of text with a zero into buffer.
static size_t copy_out(const std::string& text, size_t length, char* buffer, size_t size) {
  if (length == 0 || length + 1 > size) {
    errno = ENAMETOOLONG;
    return 0;
  }
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return length;
}

size_t module_directory(char* buffer, size_t size) {
  if (buffer && size > 0) buffer[0] = '\0';
  if (!buffer || size == 0) return 0;
  std::string target = executable_path();
  size_t slash = target.rfind('/');
  if (slash == std::string::npos) return 0;
  return copy_out(target, slash + 1, buffer, size);  // keep the trailing "/"
}

size_t module_file_path(char* buffer, size_t size) {
  if (buffer && size > 0) buffer[0] = '\0';
  if (!buffer || size == 0) return 0;
  std::string target = executable_path();
  if (target.empty()) return 0;
  return copy_out(target, target.size(), buffer, size);
}

size_t log_directory(char* buffer, size_t size) {
  // systemd's LogsDirectory= hands the service a directory of its own.
  const char* given = getenv("LOGS_DIRECTORY");
  if (given && given[0] == '/') {
    std::string first(given, strcspn(given, ":"));
    if (first.back() != '/') first += '/';
    if (buffer && size > 0) buffer[0] = '\0';
    if (!buffer || size == 0) return 0;
    return copy_out(first, first.size(), buffer, size);
  }
  return module_directory(buffer, size);
}

int program_path_in_store() { return 0; }
