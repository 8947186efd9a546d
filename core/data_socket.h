// What goes out on a session's data socket besides DATA and the OACK: ACK
// and ERROR packets; and the client's ERROR text.
#pragma once

#include <cstddef>
#include <cstdint>

struct tftp_session;

// Stores "%u %s" from an ERROR packet of `length` bytes (message cut at 116
// characters, at its zero byte or at the end of the datagram).
void take_error_text(tftp_session* session, const uint8_t* packet, size_t length);

// Sends ACK `number` (low 16 bits) on the connected socket.
void send_ack(uint32_t number, int socket);

// Sends an ERROR packet with code and error_texts[message_index] to the
// session's client on its connected data socket.
void send_session_error(tftp_session* session, int code, int message_index);
