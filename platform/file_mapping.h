// Read-only mappings of whole files.
#pragma once

#include <cstddef>
#include <cstdint>

struct file_mapping;

// Maps the regular file open on fd read-only, whole; size is its length
// (1 byte to 4 GiB - 1). The descriptor stays the caller's. nullptr when
// mapping fails.
file_mapping* map_file_descriptor(int fd, uint64_t size);

// The first byte of the mapped file.
const uint8_t* map_file_view(file_mapping* mapping);

// Copies length bytes from offset of the mapping. A file cut short by
// someone else while it is mapped makes the copy fail instead of ending
// the process: returns 1, or 0 when the bytes are no longer there.
int copy_from_mapping(const file_mapping* mapping, uint64_t offset, uint8_t* out, size_t length);

// Unmaps the file and frees the mapping.
void close_file_mapping(file_mapping* mapping);
