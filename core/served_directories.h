// The directories the server serves must hold nothing of the server's own:
// a client that could read or replace its programs, its settings store or
// its logs could take over the machine at the next start.
#pragma once

#include <cstddef>

// What a served directory runs into.
constexpr int SERVED_CLEAR = 0;
constexpr int SERVED_PROGRAMS = 1;
constexpr int SERVED_STORE = 2;
constexpr int SERVED_LOGS = 3;
constexpr int SERVED_NO_ROOT = 4;  // RootDirectory is no directory: every request would fail

// Checks RootDirectory and every Prefix entry of the loaded settings against
// the program directory, the settings store's directory and the log
// directory: none may be, contain or lie inside one of them. Returns
// SERVED_CLEAR, or the first conflict with a message (size bytes) that names
// the setting, both directories and why; or, with none, SERVED_NO_ROOT when
// RootDirectory is not a directory.
int check_served_directories(char* message, size_t size);
