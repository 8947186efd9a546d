// Host names, connecting the transfer socket, and waiting for answers.
#include "client/resolve.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/host_lookup.h"
#include "platform/udp_socket.h"

int resolve_host(const char* name, ip_address* address) {
  if (!name || !*name) return 0;
  return lookup_host(name, address) && !is_any_address(*address);
}

int connect_to_host(int socket, const ip_address& address, uint16_t port) {
  if (address.family == IP_NONE || is_any_address(address)) return -1;
  if (!connect_socket(socket, address, network_port(port))) return -1;
  return socket;
}

int64_t monotonic_ms() { return monotonic_now_ms(); }

// Waits until one of the sockets (at most two) has a datagram or the
// monotonic deadline has passed. Returns a bit mask of the ready sockets
// (bit i for sockets[i]), 0 at the deadline, -1 on a wait error.
int wait_sockets_until(const int* sockets, int count, int64_t deadline_ms) {
  return wait_sockets_readable(sockets, count, deadline_ms);
}

int64_t deadline_after(int32_t seconds) {
  return monotonic_ms() + static_cast<int64_t>(std::max<int32_t>(seconds, 0)) * 1000;
}

// Waits up to the given seconds for a datagram on the socket. Returns 1 when
// one is waiting, 0 after the time, -1 on a wait error.
int wait_readable(int socket, int32_t seconds) {
  int r = wait_sockets_until(&socket, 1, deadline_after(seconds));
  return r > 0 ? 1 : r;
}
