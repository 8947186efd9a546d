// Host names: what a user types as the server of a transfer.
#pragma once

#include <cstdint>

// The IPv4 address (network order) of a dotted address, or else of a host
// name through the system's resolver (the first IPv4 answer). Returns 1
// with *address set, 0 when the name has no IPv4 address.
int lookup_host_ipv4(const char* name, uint32_t* address);
