// Sharing one mapped view of a file between the sessions that read it.
//
// Views are told apart by the file's identity (device and file index, with its
// size and modification time), not by the name it was asked for, so every
// name of one file shares one view and a file replaced under its name gets
// a view of its own. A view is counted per session and unmapped by the
// last; the count is kept under list_lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_open.h"

struct tftp_session;

// Gives the session a view of the regular file open on fd (status st): the
// shared one when a current view of that file exists, else a new mapping.
// Sets mapping, view, shared and file_size. Returns 1, or 0 when the file
// cannot be mapped (empty, 4 GiB or more, or mapping fails).
int open_session_view(tftp_session* session, int fd, const file_status* st);

// Copies length bytes from offset of the session's view into out. Returns
// 1, or 0 when the file was cut short under the view (the view is then no
// longer handed to new readers).
int copy_from_view(tftp_session* session, uint64_t offset, uint8_t* out, size_t length);

// Gives up the session's view; the last user unmaps it.
void release_view(tftp_session* session);

// Releases the view, closes the stream, or abandons the new file of an
// upload that did not complete (the name is left as it was).
void release_file(tftp_session* session);

// Views mapped right now (tests).
int mapped_view_count();
