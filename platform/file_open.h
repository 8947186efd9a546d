// Opening served files. Only regular files are served: a directory, device
// or FIFO in the served tree must never block or confuse the server.
#pragma once

#include <cstdint>
#include <cstdio>

// 1 when path names an existing directory.
int is_directory(const char* path);

// A buffered binary stream for reading a regular file, or nullptr.
// *size_out receives the file's size.
FILE* open_read_stream(const char* path, uint64_t* size_out);

// 1 when path exists (as anything).
int file_exists(const char* path);

// Opens a regular file for writing, creating it when missing, without
// cutting it yet: a request that fails before its transfer starts must not
// destroy the file. *created tells whether the file was new. nullptr on
// failure (also when path names something other than a regular file).
FILE* open_write_stream(const char* path, int* created);

// Empties the file of a write stream and positions it at the start.
// Returns 1, or 0 on failure.
int truncate_write_stream(FILE* stream);
