// How the file system spells paths: the separator between components, how
// a Prefix entry names a directory, and where the current directory is.
// Requests may spell a name with "/" or "\"; the core turns both into the
// system's separator before anything compares or opens it.
#pragma once

#include <cstddef>

// The separator of path components: "/" on Linux, "\" on Windows.
char path_separator();

// When `name` (separators already the system's, no "..") lies beneath the
// Prefix entry (entry_length characters, no trailing separator), writes the
// path of the file into out (size bytes, zero-terminated) and returns the
// length of its base directory there (the entry as spelled in out); else 0.
// Returns (size_t)-1 when the name lies beneath the entry but the path does
// not fit. Linux: the entry is an absolute directory ("/srv/images") and
// the name begins with it. Windows: the entry begins with a drive ("d:\images")
// and the name spells the drive as its first directory ("\d\images\a.bin");
// the drive letter compares exactly, the rest without regard to case.
size_t prefix_path(const char* name, size_t name_length, const char* entry, size_t entry_length, char* out,
                   size_t size);

// The current directory, ending with the separator. Returns its length, or
// 0 (and an empty buffer) when it cannot be had or does not fit.
size_t current_directory(char* buffer, size_t size);

// The root directory served when none is stored, ending with the separator:
// a directory of its own that holds nothing of the server's (Linux
// /srv/tftp/, as Debian's TFTP servers use; Windows %ProgramData%\Orvanel\TFTP\).
// Returns its length, or 0 (and an empty buffer) when it does not fit.
size_t default_root_directory(char* buffer, size_t size);

// The directory `path` as the system resolves it (links followed, "." and
// ".." gone), ending with the separator; a relative path is taken from the
// current directory, and one that does not exist as written. Returns the
// length, or 0 (and an empty buffer) when it cannot be had or does not fit.
size_t canonical_directory(const char* path, char* buffer, size_t size);

// 1 when the directory `inner` is `outer` or lies beneath it; both as
// canonical_directory spells them. Windows compares without regard to case.
int directory_within(const char* outer, const char* inner);

// What `path` names, links followed: a directory, something else, or
// nothing (or something the process may not look at).
constexpr int PATH_KIND_MISSING = 0;
constexpr int PATH_KIND_DIRECTORY = 1;
constexpr int PATH_KIND_OTHER = 2;
int path_kind(const char* path);
