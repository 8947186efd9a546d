// Where the running program lives.
#pragma once

#include <cstddef>

// Full path of the running executable's directory, ending with "/".
// Returns its length, or 0 (and an empty buffer) when it cannot be had.
size_t module_directory(char* buffer, size_t size);

// Full path of the running executable. Returns its length, or 0 (an empty
// buffer, errno set) when it cannot be had or does not fit.
size_t module_file_path(char* buffer, size_t size);

// The directory the transfer log files are written to, ending with the
// separator: the one systemd made for the service ($LOGS_DIRECTORY), else
// the program's directory. Returns its length, or 0 (an empty buffer).
size_t log_directory(char* buffer, size_t size);

// 1 when the server records its program directory in the settings store at
// start-up (the value "Path", which Windows tools look up); 0 where the
// store is an administrator's file that the running server must not write.
int program_path_in_store();
