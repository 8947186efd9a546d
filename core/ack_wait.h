// The client's ACKs of a read, taken from the data socket.
#pragma once

#include <cstdint>

struct tftp_session;
struct packet_wait;

// What a wait for an ACK found. ACK_MEMBER_HAS_ALL only from the read's
// own wait: a multicast member that reports the whole file.
enum { ACK_FAILED = -1, ACK_NONE = 0, ACK_TAKEN = 1, ACK_ERROR = 2, ACK_MEMBER_HAS_ALL = 3 };

// Takes the client's next ACK before the wait's deadline, passing over other
// packets: ACK_TAKEN with its block number, ACK_NONE at the deadline,
// ACK_FAILED when the wait failed or the slot was taken over, ACK_ERROR
// when the client sent an ERROR (its text is in error_text).
int next_ack_packet(tftp_session* session, packet_wait* wait, uint32_t* number);

// next_ack_packet for a packet that has arrived already: ACK_NONE at once
// when none waits.
int waiting_ack_packet(tftp_session* session, uint32_t* number);
