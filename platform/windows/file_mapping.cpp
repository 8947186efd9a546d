#include "platform/file_mapping.h"

#include <io.h>
#include <windows.h>

#include <cstring>
#include <new>

struct file_mapping {
  HANDLE section;
  const uint8_t* base;
  size_t length;
};

file_mapping* map_file_descriptor(int fd, uint64_t size) {
  if (size == 0 || size >= (1ULL << 32)) return nullptr;
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  // The section keeps the file: the caller may close its descriptor.
  HANDLE section = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, static_cast<DWORD>(size), nullptr);
  if (!section) return nullptr;
  void* base = MapViewOfFile(section, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
  if (!base) {
    CloseHandle(section);
    return nullptr;
  }
  file_mapping* m = new (std::nothrow) file_mapping{section, static_cast<const uint8_t*>(base), static_cast<size_t>(size)};
  if (!m) {
    UnmapViewOfFile(base);
    CloseHandle(section);
  }
  return m;
}

const uint8_t* map_file_view(file_mapping* mapping) { return mapping ? mapping->base : nullptr; }

int copy_from_mapping(const file_mapping* mapping, uint64_t offset, uint8_t* out, size_t length) {
  if (offset > mapping->length || length > mapping->length - offset) return 0;
  // Windows refuses to shorten a file while a section of it exists
  // (ERROR_USER_MAPPED_FILE), so the mapped pages cannot vanish under the copy.
  memcpy(out, mapping->base + offset, length);
  return 1;
}

void close_file_mapping(file_mapping* mapping) {
  if (!mapping) return;
  UnmapViewOfFile(mapping->base);
  CloseHandle(mapping->section);
  delete mapping;
}
