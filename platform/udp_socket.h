// UDP sockets: the only way the server core and the client library reach the
// network. Addresses and ports are in network order unless a name says host
// order; a socket that is absent is -1. On failure a call leaves the
// system's error number where socket_error() finds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/ip_address.h"

// A port in host order as it is held in network order (big-endian bytes).
inline uint16_t network_port(uint16_t host_order) {
  uint8_t bytes[2] = {static_cast<uint8_t>(host_order >> 8), static_cast<uint8_t>(host_order)};
  uint16_t port;
  memcpy(&port, bytes, sizeof port);
  return port;
}
// A port as held in network order, as a number in host order.
inline uint16_t host_port(uint16_t network_order) {
  uint8_t bytes[2];
  memcpy(bytes, &network_order, sizeof bytes);
  return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

// An IPv4 address in host order as it is held in network order, and back.
inline uint32_t network_address(uint32_t host_order) {
  uint8_t bytes[4] = {static_cast<uint8_t>(host_order >> 24), static_cast<uint8_t>(host_order >> 16),
                      static_cast<uint8_t>(host_order >> 8), static_cast<uint8_t>(host_order)};
  uint32_t address;
  memcpy(&address, bytes, sizeof address);
  return address;
}
inline uint32_t host_address(uint32_t network_order) {
  uint8_t bytes[4];
  memcpy(bytes, &network_order, sizeof bytes);
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

// Prepares the process for networking. Returns 1 on success.
int net_startup();

// A UDP socket of the address's family bound to it (the any-address for
// all of the family's) and port (host order, 0 = any free port). An IPv4
// socket may send broadcasts; an IPv6 socket takes IPv6 only, never
// IPv4-mapped traffic. Returns the socket, or -1 when creating, binding or
// an option fails.
int open_udp_socket(const ip_address& address, uint16_t port);

// A UDP socket of the family (IP_V4 or IP_V6) not bound yet, as
// open_udp_socket makes it, or -1.
int open_unbound_udp_socket(int family);

enum { BIND_DONE = 1, BIND_PORT_TAKEN = 0, BIND_FAILED = -1 };
// Binds the socket to address and port (host order): BIND_DONE, or
// BIND_PORT_TAKEN when the port is in use (or reserved), else BIND_FAILED.
int bind_udp_socket(int socket, const ip_address& address, uint16_t port);

// One UDP socket bound to address and a free port of first_port..last_port
// (host order, inclusive), chosen at random among them; moves on only while
// a bind fails because the port is in use. Stores the bound port when
// bound_port is given. Returns the socket or -1.
int open_udp_socket_in_range(const ip_address& address, uint32_t first_port, uint32_t last_port,
                             uint16_t* bound_port);

// A UDP socket bound to port (host order) that other sockets of this kind
// may bind too (a multicast group's shared data port). Returns it or -1.
int open_shared_udp_socket(uint16_t port);

// Lets other sockets bind the port this socket is already bound to.
// Returns 1 or 0.
int allow_port_sharing(int socket);

// The port the socket is bound to, host order, or 0.
uint16_t bound_port(int socket);

// Closes the socket unless it is -1; returns -1 for assignment.
int close_socket(int socket);

// Connects the socket to one peer (port in network order). Returns 1 or 0.
int connect_socket(int socket, const ip_address& address, uint16_t port);

// Sets the multicast time-to-live of datagrams sent. Returns 1 or 0.
int set_multicast_ttl_option(int socket, int ttl);

// Sends one datagram on a connected socket; returns the bytes sent or -1.
long send_datagram(int socket, const void* data, size_t size);

// Sends one datagram to address and port; returns the bytes sent or -1.
long send_datagram_to(int socket, const void* data, size_t size, const ip_address& address, uint16_t port);

// Sends one datagram to address and port from the local address `from`
// (the address a request was sent to; an any-address lets the system
// choose). Returns the bytes sent or -1.
long send_datagram_from(int socket, const void* data, size_t size, const ip_address& address, uint16_t port,
                        const ip_address& from);

// One datagram of a batch: the head bytes followed by the body bytes (a
// header and a payload that may lie elsewhere, such as in a mapped file).
struct datagram_piece {
  const void* head;
  size_t head_size;
  const void* body;
  size_t body_size;
};

// Most datagrams one send_datagrams call takes.
constexpr int DATAGRAM_BATCH_MAX = 64;

// Sends count datagrams (1..DATAGRAM_BATCH_MAX) in their order on a
// connected socket, in as few system calls as the system allows; a plain
// version sends them one by one with send_datagram. Returns how many were
// sent: count, fewer when a later one failed, -1 when the first failed.
// A body the system cannot read (a mapped file cut short) fails the
// datagram that holds it, with the error EFAULT.
int send_datagrams(int socket, const datagram_piece* pieces, int count);

// Asks for send and receive buffers of at least these many bytes (0 leaves
// one as it is), so that a window of datagrams fits; the system may grant
// less. Returns 1 when both were granted in full, else 0.
int size_socket_buffers(int socket, size_t send_bytes, size_t receive_bytes);

enum { SOCKET_FAILED = -1, SOCKET_TIMEOUT = -2 };

// Sets how long each receive on the socket waits (0 means a millisecond,
// not forever). Returns 1 or 0.
int set_receive_timeout(int socket, uint32_t milliseconds);

// Receives one datagram into buffer (size bytes) on a connected socket,
// waiting at most the socket's receive time-out. Returns its full length,
// which may exceed size (the rest is cut off), SOCKET_TIMEOUT, or
// SOCKET_FAILED. An error that an earlier send left on the socket (a
// refused port) ends the receive as a time-out would, without a wait.
long receive_datagram(int socket, void* buffer, size_t size);

// receive_datagram for a datagram that has arrived already: SOCKET_TIMEOUT
// at once when none is waiting.
long receive_waiting_datagram(int socket, void* buffer, size_t size);

// Asks the system to tell, with each datagram received on the socket, the
// local address it was sent to (see take_request). Returns 1 or 0.
int ask_local_address(int socket);

// take_datagram_from on a socket that ask_local_address prepared, with the
// local address the datagram was sent to in *local (the socket's own
// address when the system does not tell). Returns its full length (which
// may exceed size), SOCKET_TIMEOUT when none is waiting, or SOCKET_FAILED.
long take_request(int socket, void* buffer, size_t size, ip_address* address, uint16_t* port,
                  ip_address* local);

// Ends a receive that another thread waits in on this socket, now and for
// every later one (they then return 0 bytes). Returns 1 or 0.
int wake_receivers(int socket);

// Takes a datagram that has arrived already, without waiting. Returns its
// length cut to size, SOCKET_TIMEOUT when none is waiting, or SOCKET_FAILED
// (an error that an earlier send left on the socket, a refused port, too).
long take_datagram(int socket, void* buffer, size_t size);

// take_datagram on an unconnected socket, with the sender's address and
// port (network order).
long take_datagram_from(int socket, void* buffer, size_t size, ip_address* address, uint16_t* port);

// Waits until one of the sockets (at most two) holds a datagram or the
// deadline on the monotonic clock (monotonic_now_ms) has passed; a signal
// does not end the wait early. Returns a bit mask of the ready sockets
// (bit i for sockets[i]), 0 at the deadline, -1 on a wait error. A socket
// with an error counts as ready: the receive tells what.
int wait_sockets_readable(const int* sockets, int count, int64_t deadline_ms);

// Joins (join 1) or leaves (join 0) the IPv4 multicast group (network
// order) on the socket, on the interface the system chooses. Returns 1 or 0.
int set_multicast_membership(int socket, uint32_t group, int join);

// The system's error number of the last failed call of this thread.
int socket_error();

// 1 when the error says that a bind named an address the host does not have.
int address_not_here(int error);

// The system's text for an error number as socket_error returns it, in
// buffer (size bytes, without line end); returns buffer.
char* socket_error_text(int error, char* buffer, size_t size);
