// The server's address, connecting to it, and the waits on the monotonic clock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/client_record.h"

constexpr uint32_t RESOLVE_FAILED = 0xFFFFFFFFu;
uint32_t resolve_host(const char* name);
int connect_to_host(int socket, uint32_t address, uint16_t port);
int wait_readable(int socket, int32_t seconds);
int64_t monotonic_ms();
// The monotonic time a wait of that many seconds (none when negative) ends.
int64_t deadline_after(int32_t seconds);
int wait_sockets_until(const int* sockets, int count, int64_t deadline_ms);
