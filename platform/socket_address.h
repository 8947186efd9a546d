// Socket address records: the system's sockaddr records to and from the
// ip_address record, for the socket backends alone (the same on every
// system that has BSD-style records).
#pragma once

#include <cstdint>

#include "platform/ip_address.h"
#include "socket_system.h"

// The system's record of address and port (network order) in *out; returns
// its length.
int socket_address_of(const ip_address& address, uint16_t port_network_order, sockaddr_storage* out);

// The address of the system's record, with its port (network order) in
// *port_network_order when given; family IP_NONE for another kind of address.
ip_address address_from(const sockaddr_storage& from, uint16_t* port_network_order);
