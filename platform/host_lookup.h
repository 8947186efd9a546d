// Host names: what a user types as the server of a transfer.
#pragma once

#include <cstdint>

#include "platform/ip_address.h"

// The address of a literal IPv4 or IPv6 address, or else of a host name
// through the system's resolver: its first IPv4 answer, or its first IPv6
// answer when it has no IPv4 one. Returns 1 with *address set, 0 when the
// name has no address.
int lookup_host(const char* name, ip_address* address);
