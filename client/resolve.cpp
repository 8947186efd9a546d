// Host names, connecting the transfer socket, and waiting for answers.
#include "client/client_state.h"

#include <algorithm>
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

int wait_readable(int socket, int32_t seconds) {
  // A signal must not cost the transfer: wait again for the time left.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t deadline = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 +
                     static_cast<int64_t>(std::max<int32_t>(seconds, 0)) * 1000;
  for (;;) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t left = deadline - (static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
    pollfd p{socket, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left, 0, INT32_MAX)));
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}
