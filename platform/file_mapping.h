// Read-only mappings of whole files.
#pragma once

#include <cstdint>

struct file_mapping;

// Maps a regular file read-only. Returns nullptr for a missing, empty or
// non-regular file, one of 4 GiB or more, or when mapping fails.
file_mapping* open_file_mapping(const char* path, uint32_t* size_out);

// The first byte of the mapped file.
const uint8_t* map_file_view(file_mapping* mapping);

// 1 when path still names the file that was mapped (not replaced since).
int file_mapping_is_current(const file_mapping* mapping, const char* path);

// Unmaps the file and frees the mapping.
void close_file_mapping(file_mapping* mapping, const uint8_t* view);
