// The system's socket records and resolver, as the shared socket code
// (host_lookup.cpp, socket_address.cpp) reaches them on Windows.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/udp_socket.h"

// 1 when getaddrinfo may be called: the resolver is part of Winsock, which
// must be started first.
inline int resolver_ready() { return net_startup(); }
