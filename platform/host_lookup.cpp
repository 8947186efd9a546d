#include "platform/host_lookup.h"

#include <cstring>

#include "resolver_system.h"

int lookup_host_ipv4(const char* name, uint32_t* address) {
  if (!resolver_ready()) return 0;
  in_addr dotted{};
  if (inet_pton(AF_INET, name, &dotted) == 1) {
    *address = dotted.s_addr;
    return 1;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &answer) != 0 || !answer) return 0;
  int found = 0;
  for (addrinfo* a = answer; a && !found; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr && a->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sa{};
      memcpy(&sa, a->ai_addr, sizeof sa);
      *address = sa.sin_addr.s_addr;
      found = 1;
    }
  }
  freeaddrinfo(answer);
  return found;
}
