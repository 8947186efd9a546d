#include "platform/path_names.h"

#include <windows.h>

#include <cstdio>
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

size_t default_root_directory(char* buffer, size_t size) {
  // Service data belongs under ProgramData, never beside the programs.
  char base[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("ProgramData", base, sizeof base);
  if (n == 0 || n >= sizeof base) strcpy(base, "C:\\ProgramData");
  int total = snprintf(buffer, size, "%s\\Orvanel\\TFTP\\", base);
  if (total < 0 || static_cast<size_t>(total) >= size) {
    if (size) buffer[0] = 0;
    return 0;
  }
  return static_cast<size_t>(total);
}

size_t canonical_directory(const char* path, char* buffer, size_t size) {
  if (size) buffer[0] = 0;
  if (!path || !path[0] || size < 4) return 0;
  // GetFullPathName applies "." and ".." as written; links are not
  // followed, as the server opens nothing through one that leads out.
  char full[4096];
  DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full || full[1] != ':') return 0;
  while (n > 3 && (full[n - 1] == '\\' || full[n - 1] == '/')) n--;
  size_t total = n + (full[n - 1] == '\\' ? 0 : 1);
  if (total >= size) return 0;
  memcpy(buffer, full, n);
  if (full[n - 1] != '\\') buffer[n] = '\\';
  buffer[total] = 0;
  for (size_t i = 0; i < total; i++)
    if (buffer[i] == '/') buffer[i] = '\\';
  return total;
}

int directory_within(const char* outer, const char* inner) {
  size_t n = strlen(outer);
  return n > 0 && strlen(inner) >= n && equal_nocase(outer, inner, n) ? 1 : 0;
}

int path_kind(const char* path) {
  if (!path || !path[0]) return PATH_KIND_MISSING;
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return PATH_KIND_MISSING;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PATH_KIND_DIRECTORY : PATH_KIND_OTHER;
}
