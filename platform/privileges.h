// Serving needs no administrator rights once the ports are bound: a server
// started with them gives them up, so that a flaw in it reaches no more
// than an unprivileged user's files.
#pragma once

#include <cstddef>

// The user a server runs as: Debian's TFTP servers' "tftp"; where it does
// not exist, "nobody".
constexpr const char* SERVICE_USER = "tftp";
constexpr const char* SERVICE_USER_FALLBACK = "nobody";

// When the process runs as root (Linux), becomes SERVICE_USER, else
// SERVICE_USER_FALLBACK: supplementary groups, group and user, each step
// checked, keeping only the right to bind ports below 1024. Elsewhere, and
// for a process that is not root, does nothing. Returns 1 when the process
// now runs without administrator rights (or never had them), else 0 with
// the step that failed in message (size bytes).
int drop_privileges(char* message, size_t size);

// The name of the user the server runs as after drop_privileges, in buffer
// (size bytes). Returns 1, or 0 when neither user exists.
int service_user_name(char* buffer, size_t size);
