// Data ports from a range, and a shared port for a multicast group: the
// choice is the same on every system, only binding is the backend's.
#include <cstdint>
#include <random>

#include "platform/udp_socket.h"

int open_udp_socket_in_range(const ip_address& address, uint32_t first_port, uint32_t last_port,
                             uint16_t* bound_port_out) {
  int s = open_unbound_udp_socket(address.family);
  if (s < 0) return -1;
  if (last_port > 65535) last_port = 65535;
  uint32_t count = last_port >= first_port ? last_port - first_port + 1 : 0;
  // A free port chosen at random, so that nobody off the path can tell
  // which port a transfer's ACKs go to.
  uint32_t start = count ? static_cast<uint32_t>(std::random_device{}() % count) : 0;
  for (uint32_t i = 0; i < count; i++) {
    uint16_t port = static_cast<uint16_t>(first_port + (start + i) % count);
    int bound = bind_udp_socket(s, address, port);
    if (bound == BIND_DONE) {
      if (bound_port_out) *bound_port_out = port;
      return s;
    }
    if (bound != BIND_PORT_TAKEN) break;
  }
  return close_socket(s);
}

int open_shared_udp_socket(uint16_t port) {
  int s = open_unbound_udp_socket(IP_V4);
  if (s < 0) return -1;
  if (!allow_port_sharing(s) || bind_udp_socket(s, any_address(IP_V4), port) != BIND_DONE) return close_socket(s);
  return s;
}
