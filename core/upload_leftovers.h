// The temporary files uploads are written to (".tftp-upload-" and eight
// hex digits, beside the name they replace): their names are the server's
// own, and those a crashed server left behind are removed at the next start.
#pragma once

// 1 when name (one path component) is exactly a temporary upload file's
// name: ".tftp-upload-" followed by eight lower-case hex digits.
int is_upload_temporary_name(const char* name);

// 1 when the last component of path begins with ".tftp-upload-" in any
// case. Requests for such names are refused: a client that could upload or
// read one could plant a file the next start removes, or read another
// client's upload before it is complete.
int is_reserved_upload_name(const char* path);

// Removes the temporary upload files left in the root directory and every
// Prefix directory (see remove_leftover_files), one log line each. Returns
// how many were removed.
int remove_upload_leftovers();
