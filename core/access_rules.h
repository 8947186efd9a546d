// Turning a requested name into a path, and the per-directory access rules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ip_address.h"

enum { PATH_OK = 0, PATH_INVALID = 11, PATH_TOO_LONG = 12, PATH_DENIED = 13 };

// Resolves the request's name (changed in place: "\" become "/") against the
// Prefix list, the root directory and the per-client directory, and checks
// the access rules. path_out holds 260 bytes. Returns PATH_OK with
// *overwrite_out set and *base_length_out the length of the directory at the
// start of path_out that the file must be opened beneath (the root, or the
// matching Prefix entry), or the message index of a refusal.
int resolve_path(char* name, const ip_address& client, int opcode, char* path_out, int* overwrite_out,
                 size_t* base_length_out);

// 1 when the access rules allow the operation on access_path, else 0;
// always sets *overwrite_out.
int check_access(const char* access_path, const ip_address& client, int opcode, int* overwrite_out);

// Finds the first rule of `directory` that covers the client's address;
// copies its rights (at least RULE_TEXT_LIMIT + 1 bytes). A range covers
// only addresses of its own family, compared as numbers. Returns 1 or 0.
int match_access_rule(const ip_address& client, const char* directory, char* rights_out);

// The longest rule text that is read: IPv4 rules fit 63 characters, a rule
// with IPv6 addresses may take up to 95 (rights, two full addresses).
constexpr size_t RULE_TEXT_MAX = 63;
constexpr size_t RULE_TEXT_LIMIT = 95;

// 1 when a rule text of length characters is read, by the limit above that
// its kind of addresses has.
int rule_text_fits(const char* text, size_t length);

// The address of a rule range's end: a dotted quad (blanks allowed around
// its numbers) or an IPv6 address (blanks allowed around it); the
// any-address counts as none. Returns 1 and sets *out, else 0.
int parse_rule_address(const char* text, ip_address* out);

// A dotted quad in network order, or 0 when text is no address.
uint32_t parse_ipv4(const char* text, int* valid_out);
