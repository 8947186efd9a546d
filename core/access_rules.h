// Turning a requested name into a path, and the per-directory access rules.
#pragma once

#include <cstddef>
#include <cstdint>

enum { PATH_OK = 0, PATH_INVALID = 11, PATH_TOO_LONG = 12, PATH_DENIED = 13 };

// Resolves the request's name (changed in place: "\" become "/") against the
// Prefix list, the root directory and the per-client directory, and checks
// the access rules. path_out holds 260 bytes. Returns PATH_OK with
// *overwrite_out set and *base_length_out the length of the directory at the
// start of path_out that the file must be opened beneath (the root, or the
// matching Prefix entry), or the message index of a refusal.
int resolve_path(char* name, uint32_t client_ip, int opcode, char* path_out, int* overwrite_out,
                 size_t* base_length_out);

// 1 when the access rules allow the operation on access_path, else 0;
// always sets *overwrite_out.
int check_access(const char* access_path, uint32_t client_ip, int opcode, int* overwrite_out);

// Finds the first rule of `directory` that covers client_address (host
// order); copies its rights (at least 64 bytes). Returns 1 or 0.
int match_access_rule(uint32_t client_address, const char* directory, char* rights_out);

// A dotted quad in network order, or 0 when text is no address.
uint32_t parse_ipv4(const char* text, int* valid_out);
