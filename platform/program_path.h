// Where the running program lives.
#pragma once

#include <cstddef>

// Full path of the running executable's directory, ending with "/".
// Returns its length, or 0 (and an empty buffer) when it cannot be had.
size_t module_directory(char* buffer, size_t size);

// Full path of the running executable. Returns its length, or 0 (an empty
// buffer, errno set) when it cannot be had or does not fit.
size_t module_file_path(char* buffer, size_t size);
