// Sharing one mapped view of a file between the sessions that read it.
#pragma once

struct tftp_session;

// Takes over the view of a live listed session that maps the same path.
// Returns 1 when one was found, else 0. Server loop thread only.
int share_mapping(tftp_session* session);

// Opens and maps the session's path; the session, not yet listed, becomes
// mapping_borrower. Returns 1, or 0 when it cannot be mapped (missing,
// empty, 4 GiB or more).
int open_session_mapping(tftp_session* session);

// Gives up the session's view; the last user unmaps it.
void release_mapping(tftp_session* session);

// Releases the view or closes the stream that the session holds.
void release_file(tftp_session* session);

// Empties the file of an upload as its transfer starts. When a reader maps
// that file, the upload gets a new file instead, so the reader keeps the old
// contents rather than faulting on a cut mapping. Returns 1, or 0 on failure.
int start_upload_file(tftp_session* session);
