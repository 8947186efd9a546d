// Where the running program lives.
#pragma once

#include <cstddef>

// Full path of the running executable's directory, ending with "/".
// Returns its length, or 0 (and an empty buffer) when it cannot be had.
size_t module_directory(char* buffer, size_t size);

// Full path of the running executable. Returns its length, or 0 (an empty
// buffer, errno set) when it cannot be had or does not fit.
size_t module_file_path(char* buffer, size_t size);

// The directory of the help files and language modules, ending with the
// separator: <prefix>/share/orvanel-tftp/ for a program installed with the
// Linux file system layout (it lies in <prefix>/bin/ or <prefix>/sbin/ and
// <prefix>/share/ exists), else the program's directory (a build tree, the
// /opt layout, Windows). Returns its length, or 0 (an empty buffer).
size_t data_directory(char* buffer, size_t size);

// The directory the transfer log files are written to, ending with the
// separator; the one place that decides it. In order: `configured` (the
// setting LogDirectory) when it is an absolute path; the directory systemd
// made for the service ($LOGS_DIRECTORY); for a program installed with the
// Linux layout, /var/log/orvanel-tftp/, or for a per-user program not run
// by root $XDG_STATE_HOME/orvanel-tftp/ (~/.local/state/orvanel-tftp/,
// made when missing); else the program's directory. Returns its length, or
// 0 (an empty buffer).
size_t log_directory(const char* configured, char* buffer, size_t size);

// Marks the process as a program of the user who runs it (the desktop
// program): installed, it keeps its log in that user's state directory,
// which it can write, instead of the system's log directory.
void keep_log_per_user();

// 1 when the server records its program directory in the settings store at
// start-up (the value "Path", which Windows tools look up); 0 where the
// store is an administrator's file that the running server must not write.
int program_path_in_store();
