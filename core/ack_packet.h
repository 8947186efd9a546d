// What a datagram on a read's data socket says.
#pragma once

#include <cstddef>
#include <cstdint>

struct tftp_session;

// What a datagram or a wait for an ACK found. ACK_MEMBER_HAS_ALL: a
// multicast member's client reports the whole file.
enum { ACK_FAILED = -1, ACK_NONE = 0, ACK_TAKEN = 1, ACK_ERROR = 2, ACK_MEMBER_HAS_ALL = 3 };

// Longer datagrams are no ACK or ERROR of ours and are passed over.
constexpr size_t ACK_PACKET_MAX = 256;

// Reads one datagram of `length` bytes: ACK_TAKEN with the ACK's block
// number, ACK_ERROR when the client sent an ERROR (its text then is in
// error_text), ACK_NONE for anything else (a runt, another opcode, a
// datagram longer than ACK_PACKET_MAX).
int read_ack_packet(tftp_session* session, const uint8_t* packet, size_t length, uint32_t* number);
