#include "core/sockets.h"

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

static int bind_port(int s, uint32_t address, uint32_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

int open_udp_socket(uint32_t address, uint16_t port) {
  int s = new_udp_socket();
  if (s < 0) return -1;
  if (bind_port(s, address, port) != 0) {
    close(s);
    return -1;
  }
  return s;
}

int open_udp_socket_in_range(uint32_t address, uint32_t first_port, uint32_t last_port,
                             uint16_t* bound_port) {
  int s = new_udp_socket();
  if (s < 0) return -1;
  for (uint32_t port = first_port; port <= last_port && port <= 65535; port++) {
    if (bind_port(s, address, port) == 0) {
      if (bound_port) *bound_port = static_cast<uint16_t>(port);
      return s;
    }
    if (errno != EADDRINUSE) break;
  }
  close(s);
  return -1;
}

int close_socket(int socket) {
  if (socket != -1) close(socket);
  return -1;
}
