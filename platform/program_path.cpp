// Directory of the running executable, from /proc/self/exe.
#include "platform/program_path.h"

#include <cstring>
#include <string>

#include <unistd.h>

size_t module_directory(char* buffer, size_t size) {
  if (buffer && size > 0) buffer[0] = '\0';
  if (!buffer || size == 0) return 0;
  // readlink does not say how long the target is; grow until it fits.
  std::string target(256, '\0');
  for (int tries = 0; tries < 8; ++tries) {
    ssize_t n = readlink("/proc/self/exe", target.data(), target.size());
    if (n < 0) return 0;
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      size_t slash = target.rfind('/');
      if (slash == std::string::npos) return 0;
      size_t len = slash + 1;  // keep the trailing "/"
      if (len + 1 > size) return 0;
      std::memcpy(buffer, target.data(), len);
      buffer[len] = '\0';
      return len;
    }
    target.resize(target.size() * 2);
  }
  return 0;
}
