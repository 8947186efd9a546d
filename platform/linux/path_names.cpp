#include "platform/path_names.h"

#include <unistd.h>

#include <cstring>

char path_separator() { return '/'; }

size_t prefix_path(const char* name, size_t name_length, const char* entry, size_t entry_length, char* out,
                   size_t size) {
  // /srv/images serves /srv/images/a but not /srv/images2.
  if (entry_length < 2 || entry[0] != '/' || name_length < entry_length + 1) return 0;
  if (memcmp(name, entry, entry_length) != 0 || name[entry_length] != '/') return 0;
  if (name_length >= size) return static_cast<size_t>(-1);
  memcpy(out, name, name_length + 1);
  return entry_length;
}

size_t current_directory(char* buffer, size_t size) {
  if (size < 2 || !getcwd(buffer, size - 1)) {
    if (size) buffer[0] = 0;
    return 0;
  }
  size_t n = strlen(buffer);
  if (n == 0 || buffer[n - 1] != '/') {
    buffer[n++] = '/';
    buffer[n] = 0;
  }
  return n;
}
