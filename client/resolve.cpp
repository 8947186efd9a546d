// Host names, connecting the transfer socket, and waiting for answers.
#include "client/client_state.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

uint32_t resolve_host(const char* name) {
  if (!name || !*name) return 0;
  in_addr dotted{};
  if (inet_pton(AF_INET, name, &dotted) == 1) return dotted.s_addr;

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &answer) != 0 || !answer) return RESOLVE_FAILED;
  uint32_t address = RESOLVE_FAILED;
  for (addrinfo* a = answer; a; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr && a->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sa{};
      std::memcpy(&sa, a->ai_addr, sizeof sa);
      address = sa.sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(answer);
  return address;
}

int connect_to_host(int socket, uint32_t address, uint16_t port) {
  if (address == 0 || address == RESOLVE_FAILED) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(port);
  if (connect(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return -1;
  return socket;
}

int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until one of the sockets (at most two) has a datagram or the
// monotonic deadline has passed. Returns a bit mask of the ready sockets
// (bit i for sockets[i]), 0 at the deadline, -1 on a wait error.
int wait_sockets_until(const int* sockets, int count, int64_t deadline_ms) {
  std::array<pollfd, 2> p{};
  count = std::clamp(count, 0, 2);
  for (int i = 0; i < count; i++) p[static_cast<std::size_t>(i)] = pollfd{sockets[i], POLLIN, 0};
  // A signal must not cost the transfer: wait again for the time left.
  for (;;) {
    int64_t left = deadline_ms - monotonic_ms();
    int r = poll(p.data(), static_cast<nfds_t>(count),
                 static_cast<int>(std::clamp<int64_t>(left, 0, INT32_MAX)));
    if (r == 0) return 0;
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    int mask = 0;
    for (int i = 0; i < count; i++) {
      // An error or hang-up is reported as readable: the receive tells what.
      if (p[static_cast<std::size_t>(i)].revents != 0) mask |= 1 << i;
    }
    return mask;
  }
}

// Waits up to the given seconds for a datagram on the socket. Returns 1 when
// one is waiting, 0 after the time, -1 on a wait error.
int wait_readable(int socket, int32_t seconds) {
  int64_t deadline = monotonic_ms() + static_cast<int64_t>(std::max<int32_t>(seconds, 0)) * 1000;
  int r = wait_sockets_until(&socket, 1, deadline);
  return r > 0 ? 1 : r;
}
