#include "platform/udp_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int net_startup() {
  // BSD sockets need no start-up; the function stays so that callers keep one
  // place for it on platforms whose socket library must be initialised.
  return 1;
}

static int new_udp_socket() {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  int one = 1;
  if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
    close(s);
    return -1;
  }
  return s;
}

static sockaddr_in address_of(uint32_t address, uint16_t port_network_order) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = port_network_order;
  return sa;
}

static int bind_port(int s, uint32_t address, uint32_t port) {
  sockaddr_in sa = address_of(address, htons(static_cast<uint16_t>(port)));
  return bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

int open_udp_socket(uint32_t address, uint16_t port) {
  int s = new_udp_socket();
  if (s < 0) return -1;
  if (bind_port(s, address, port) != 0) {
    int saved = errno;
    close(s);
    errno = saved;
    return -1;
  }
  return s;
}

int open_udp_socket_in_range(uint32_t address, uint32_t first_port, uint32_t last_port,
                             uint16_t* bound_port_out) {
  int s = new_udp_socket();
  if (s < 0) return -1;
  for (uint32_t port = first_port; port <= last_port && port <= 65535; port++) {
    if (bind_port(s, address, port) == 0) {
      if (bound_port_out) *bound_port_out = static_cast<uint16_t>(port);
      return s;
    }
    if (errno != EADDRINUSE) break;
  }
  close(s);
  return -1;
}

int allow_port_sharing(int socket) {
  int one = 1;
  return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

int open_shared_udp_socket(uint16_t port) {
  int s = new_udp_socket();
  if (s < 0) return -1;
  if (!allow_port_sharing(s) || bind_port(s, 0, port) != 0) return close_socket(s);
  return s;
}

uint16_t bound_port(int socket) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
  return ntohs(bound.sin_port);
}

int close_socket(int socket) {
  if (socket != -1) close(socket);
  return -1;
}

int connect_socket(int socket, uint32_t address, uint16_t port) {
  sockaddr_in sa = address_of(address, port);
  return connect(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

int set_multicast_ttl_option(int socket, int ttl) {
  return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0;
}

long send_datagram(int socket, const void* data, size_t size) {
  return static_cast<long>(send(socket, data, size, MSG_NOSIGNAL));
}

long send_datagram_to(int socket, const void* data, size_t size, uint32_t address, uint16_t port) {
  sockaddr_in sa = address_of(address, port);
  return static_cast<long>(sendto(socket, data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
}

int set_receive_timeout(int socket, uint32_t milliseconds) {
  timeval t{};
  t.tv_sec = milliseconds / 1000;
  t.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
  // A zero time-out means "wait forever" to the socket.
  if (milliseconds == 0) t.tv_usec = 1000;
  return setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t) == 0;
}

long receive_datagram(int socket, void* buffer, size_t size) {
  ssize_t n = recv(socket, buffer, size, MSG_TRUNC);
  if (n >= 0) return static_cast<long>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) return SOCKET_TIMEOUT;
  return SOCKET_FAILED;
}

long receive_datagram_from(int socket, void* buffer, size_t size, uint32_t* address, uint16_t* port) {
  sockaddr_in source{};
  socklen_t length = sizeof source;
  ssize_t n = recvfrom(socket, buffer, size, MSG_TRUNC, reinterpret_cast<sockaddr*>(&source), &length);
  if (n < 0) return SOCKET_FAILED;
  if (source.sin_family != AF_INET) {
    errno = EAFNOSUPPORT;
    return SOCKET_FAILED;
  }
  *address = source.sin_addr.s_addr;
  *port = source.sin_port;
  return static_cast<long>(n);
}

int wake_receivers(int socket) { return shutdown(socket, SHUT_RDWR) == 0; }

int socket_error() { return errno; }
