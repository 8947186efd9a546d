#include "platform/host_lookup.h"

#include <cstring>

#include "socket_system.h"

int lookup_host(const char* name, ip_address* address) {
  if (parse_ip_address(name, address)) return 1;
  if (!resolver_ready()) return 0;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &answer) != 0 || !answer) return 0;
  ip_address first_v6{};
  int found = 0;
  for (addrinfo* a = answer; a && !found; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr && a->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sa{};
      memcpy(&sa, a->ai_addr, sizeof sa);
      *address = ipv4_address(sa.sin_addr.s_addr);
      found = 1;
    } else if (a->ai_family == AF_INET6 && a->ai_addr && a->ai_addrlen >= sizeof(sockaddr_in6) &&
               first_v6.family == IP_NONE) {
      sockaddr_in6 sa{};
      memcpy(&sa, a->ai_addr, sizeof sa);
      first_v6 = ipv6_address(sa.sin6_addr.s6_addr, sa.sin6_scope_id);
    }
  }
  freeaddrinfo(answer);
  if (!found && first_v6.family != IP_NONE) {
    *address = first_v6;
    found = 1;
  }
  return found;
}
