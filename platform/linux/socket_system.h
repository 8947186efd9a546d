// The system's socket records and resolver, as the shared socket code
// (host_lookup.cpp, socket_address.cpp) reaches them on Linux.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

// 1 when getaddrinfo may be called: always, on Linux.
inline int resolver_ready() { return 1; }
