// UDP socket helpers shared by the server core and the client library.
#pragma once

#include <cstdint>

// Prepares the process for networking. Returns 1 on success.
int net_startup();

// A UDP socket bound to address (network order, 0 = any) and port (host
// order, 0 = any free port), with broadcast sending allowed. Returns the
// socket, or -1 when creating, binding or the option fails.
int open_udp_socket(uint32_t address, uint16_t port);

// One UDP socket bound to the first free port of first_port..last_port
// (inclusive); moves on only while a bind fails with EADDRINUSE. Stores the
// bound port when bound_port is given. Returns the socket or -1.
int open_udp_socket_in_range(uint32_t address, uint32_t first_port, uint32_t last_port,
                             uint16_t* bound_port);

// Closes the socket unless it is -1; returns -1 for assignment.
int close_socket(int socket);
