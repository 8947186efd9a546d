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

size_t data_directory(char* buffer, size_t size) { return module_directory(buffer, size); }

size_t log_directory(const char* configured, char* buffer, size_t size) {
  if (buffer && size > 0) buffer[0] = '\0';
  if (!buffer || size == 0) return 0;
  // An absolute path: a drive letter with its colon and separator, or a UNC name.
  size_t n = configured ? strlen(configured) : 0;
  int absolute = (n >= 3 && configured[1] == ':' && (configured[2] == '\\' || configured[2] == '/')) ||
                 (n >= 2 && configured[0] == '\\' && configured[1] == '\\');
  if (!absolute) return module_directory(buffer, size);
  int slash = configured[n - 1] == '\\' || configured[n - 1] == '/';
  if (n + (slash ? 0 : 1) + 1 > size) {
    errno = ENAMETOOLONG;
    return 0;
  }
  memcpy(buffer, configured, n);
  if (!slash) buffer[n++] = '\\';
  buffer[n] = '\0';
  return n;
}

void keep_log_per_user() {}

int program_path_in_store() { return 1; }
