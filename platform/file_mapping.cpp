#include "platform/file_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

struct file_mapping {
  void* base;
  size_t length;
  dev_t device;
  ino_t inode;
  timespec modified;
};

file_mapping* open_file_mapping(const char* path, uint32_t* size_out) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size >= (1LL << 32)) {
    close(fd);
    return nullptr;
  }
  size_t length = static_cast<size_t>(st.st_size);
  void* base = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);  // the mapping keeps the file
  if (base == MAP_FAILED) return nullptr;
  madvise(base, length, MADV_SEQUENTIAL);
  file_mapping* m = new (std::nothrow) file_mapping{base, length, st.st_dev, st.st_ino, st.st_mtim};
  if (!m) {
    munmap(base, length);
    return nullptr;
  }
  *size_out = static_cast<uint32_t>(length);
  return m;
}

const uint8_t* map_file_view(file_mapping* mapping) {
  return mapping ? static_cast<const uint8_t*>(mapping->base) : nullptr;
}

int file_mapping_is_current(const file_mapping* mapping, const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && st.st_dev == mapping->device && st.st_ino == mapping->inode &&
         static_cast<size_t>(st.st_size) == mapping->length && st.st_mtim.tv_sec == mapping->modified.tv_sec &&
         st.st_mtim.tv_nsec == mapping->modified.tv_nsec;
}

void close_file_mapping(file_mapping* mapping, const uint8_t*) {
  if (!mapping) return;
  munmap(mapping->base, mapping->length);
  delete mapping;
}
