// Serving needs no administrator rights once the ports are bound: a server
// started with them gives them up, so that a flaw in it reaches no more
// than an unprivileged user's files.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The user the server runs as after drop_privileges: SERVICE_USER where it
// exists, else SERVICE_USER_FALLBACK. Returns 1 with its name in name (size
// bytes) and its ids (0 on Windows, where accounts have none), or 0 when
// neither user exists.
int find_service_user(char* name, size_t size, uint32_t* uid, uint32_t* gid);
