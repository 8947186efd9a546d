#include "platform/socket_address.h"

#include <cstring>

int socket_address_of(const ip_address& address, uint16_t port_network_order, sockaddr_storage* out) {
  memset(out, 0, sizeof *out);
  if (address.family == IP_V6) {
    sockaddr_in6* sa = reinterpret_cast<sockaddr_in6*>(out);
    sa->sin6_family = AF_INET6;
    memcpy(&sa->sin6_addr, address.bytes, 16);
    sa->sin6_scope_id = address.scope;
    sa->sin6_port = port_network_order;
    return static_cast<int>(sizeof *sa);
  }
  sockaddr_in* sa = reinterpret_cast<sockaddr_in*>(out);
  sa->sin_family = AF_INET;
  memcpy(&sa->sin_addr, address.bytes, 4);
  sa->sin_port = port_network_order;
  return static_cast<int>(sizeof *sa);
}

ip_address address_from(const sockaddr_storage& from, uint16_t* port_network_order) {
  if (from.ss_family == AF_INET6) {
    const sockaddr_in6* sa = reinterpret_cast<const sockaddr_in6*>(&from);
    if (port_network_order) *port_network_order = sa->sin6_port;
    return ipv6_address(sa->sin6_addr.s6_addr, sa->sin6_scope_id);
  }
  ip_address none{};
  if (from.ss_family != AF_INET) return none;
  const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(&from);
  if (port_network_order) *port_network_order = sa->sin_port;
  return ipv4_address(sa->sin_addr.s_addr);
}
