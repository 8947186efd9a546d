// The server's address, connecting to it, and the waits on the monotonic clock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/client_record.h"

// The server's address: 1 and *address, or 0 when the name has none.
int resolve_host(const char* name, ip_address* address);
int connect_to_host(int socket, const ip_address& address, uint16_t port);
int wait_readable(int socket, int32_t seconds);
int64_t monotonic_ms();
// The monotonic time a wait of that many seconds (none when negative) ends.
int64_t deadline_after(int32_t seconds);
int wait_sockets_until(const int* sockets, int count, int64_t deadline_ms);
