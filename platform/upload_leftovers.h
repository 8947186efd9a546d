// Temporary upload files that a server which ended without cleaning up (a
// crash, a kill, a power cut) left in the served directories. They are
// removed when a server starts; one that a running upload of another server
// still holds is left alone (Linux: the uploader holds a lock on it;
// Windows: it is open).
#pragma once

// Deepest directory level below the start that is searched.
constexpr int LEFTOVER_DEPTH_MAX = 16;

// Searches the directory tree at `directory` (a link in that path itself is
// the administrator's and is followed; links inside are neither followed
// nor entered) down to
// LEFTOVER_DEPTH_MAX levels, and removes every regular file whose name
// is_leftover accepts and that no running upload holds. Calls removed with
// the file's path relative to `directory` for each removal. Returns the
// number of files removed.
int remove_leftover_files(const char* directory, int (*is_leftover)(const char* name),
                          void (*removed)(const char* relative_path, void* context), void* context);

// Marks the new upload file open on fd as held by this process, so that a
// search of another server starting meanwhile leaves it alone. Returns 1, or
// 0 when the system could not mark it.
int hold_upload_file(int fd);
