// The session's data socket: waits with absolute deadlines, receiving,
// ACK and ERROR packets, and the client's ERROR text.
#pragma once

#include <cstddef>
#include <cstdint>

struct tftp_session;

enum { RECEIVE_FAILED = -1, RECEIVE_TIMEOUT = -2, RECEIVE_EVICTED = -3 };

// One wait for the client's next packet: its end on the monotonic clock.
// Packets that arrive meanwhile and are not the one awaited do not move it.
struct packet_wait {
  int64_t deadline_ms;
};

// Starts a wait of timeout_ms from now.
void start_wait(packet_wait* wait, uint32_t timeout_ms);

// 1 once the wait's deadline has passed.
int wait_expired(const packet_wait* wait);

// Receives one datagram into buffer (size bytes, the buffer's whole size)
// before the wait's deadline. Returns its full length (which may exceed
// size: the rest is cut off), RECEIVE_TIMEOUT at the deadline,
// RECEIVE_EVICTED once the session's slot was taken over, or
// RECEIVE_FAILED. ICMP errors of earlier sends are passed over. One system
// call per datagram while the deadline is the usual one.
long receive_before(tftp_session* session, packet_wait* wait, uint8_t* buffer, size_t size);

// Stores "%u %s" from an ERROR packet of `length` bytes (message cut at 116
// characters, at its zero byte or at the end of the datagram).
void take_error_text(tftp_session* session, const uint8_t* packet, size_t length);

// Sends ACK `number` (low 16 bits) on the connected socket.
void send_ack(uint32_t number, int socket);

// Sends an ERROR packet with code and error_texts[message_index] to the
// session's client on its connected data socket.
void send_session_error(tftp_session* session, int code, int message_index);
