// The local file of a transfer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/client_record.h"

// A GET's file: refuses an existing path unless overwrite; otherwise opens a
// temporary file beside path (or a device path itself).
int local_file_create(local_file& file, const char* path, int overwrite, int text,
                      unsigned char* buffer, std::size_t capacity);
// The GET has finished: writes what is buffered and gives the file the name
// path (over an existing file only with overwrite). On any failure the
// temporary file is removed and path is left as it was.
int local_file_commit(local_file& file, const char* path, int overwrite);
// The GET has failed: closes and removes the temporary file.
void local_file_abandon(local_file& file);
int local_file_open_read(local_file& file, const char* path, int text, unsigned char* buffer,
                         std::size_t capacity);
int64_t local_file_size(const local_file& file);
int local_file_write(local_file& file, const unsigned char* data, std::size_t length);
std::size_t local_file_read(local_file& file, unsigned char* data, std::size_t length);
int local_file_seek(local_file& file, uint64_t offset);
int local_file_close(local_file& file);

constexpr int LOCAL_FILE_OK = 0;
constexpr int LOCAL_FILE_EXISTS = 1;
constexpr int LOCAL_FILE_FAILED = 2;
