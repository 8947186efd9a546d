#include "platform/path_names.h"

#include <windows.h>

#include <cstring>

char path_separator() { return '\\'; }

static int equal_nocase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return 0;
  }
  return 1;
}

size_t prefix_path(const char* name, size_t name_length, const char* entry, size_t entry_length, char* out,
                   size_t size) {
  // d:\images serves \d\images\a.bin as d:\images\a.bin, not \d\images2\a.
  if (entry_length < 2 || entry[1] != ':' || (entry_length > 2 && entry[2] != '\\')) return 0;
  if (name_length < entry_length + 1 || name[0] != '\\' || name[1] != entry[0]) return 0;
  if (!equal_nocase(name + 2, entry + 2, entry_length - 2) || name[entry_length] != '\\') return 0;
  if (name_length >= size) return static_cast<size_t>(-1);
  memcpy(out, entry, entry_length);
  memcpy(out + entry_length, name + entry_length, name_length - entry_length + 1);
  return entry_length;
}

size_t current_directory(char* buffer, size_t size) {
  DWORD n = size >= 2 ? GetCurrentDirectoryA(static_cast<DWORD>(size - 1), buffer) : 0;
  if (n == 0 || n >= size - 1) {
    if (size) buffer[0] = 0;
    return 0;
  }
  if (buffer[n - 1] != '\\') {
    buffer[n++] = '\\';
    buffer[n] = 0;
  }
  return n;
}
