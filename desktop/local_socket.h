// Abstract local stream sockets of this user, standing in for window
// messages between processes: names begin with a zero byte, so nothing is
// left in the file system, and every peer's user is checked.
#pragma once

#include <cstddef>
#include <string>

// A listening socket under name, or -1 (errno EADDRINUSE when taken).
int local_listen(const std::string& name);

// A socket connected to name, or -1.
int local_connect(const std::string& name);

// 1 when the process at the other end of socket runs as this user.
int peer_is_same_user(int socket);

// Reads up to a line feed (not stored) into line, at most limit bytes, until
// deadline_ms passes. Returns 1 for a whole line, else 0.
int read_line(int socket, std::string* line, size_t limit, int deadline_ms);

// Writes all of text. Returns 1, or 0 on failure.
int write_text(int socket, const std::string& text);

// Accepts one connection from this user; -1 when the listener was shut down.
// Connections of other users are closed unanswered.
int accept_same_user(int listener);
