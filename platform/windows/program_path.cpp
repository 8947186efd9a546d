// Directory of the running executable, from the module's own file name.
#include "platform/program_path.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

size_t module_file_path(char* buffer, size_t size) {
  if (buffer && size > 0) buffer[0] = '\0';
  if (!buffer || size < 2) return 0;
  DWORD capacity = size > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(size);
  DWORD n = GetModuleFileNameA(nullptr, buffer, capacity);
  // A name that does not fit comes back cut, with the whole buffer used.
  if (n == 0 || n >= capacity) {
    buffer[0] = '\0';
    errno = ENAMETOOLONG;
    return 0;
  }
  return n;
}

size_t module_directory(char* buffer, size_t size) {
  size_t n = module_file_path(buffer, size);
  while (n > 0 && buffer[n - 1] != '\\' && buffer[n - 1] != '/') n--;
  if (buffer && size > 0) buffer[n] = '\0';  // keeps the trailing "\"
  return n;
}

size_t log_directory(char* buffer, size_t size) { return module_directory(buffer, size); }

int program_path_in_store() { return 1; }
