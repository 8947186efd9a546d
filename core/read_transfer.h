// A read transfer's steps: the option phase, the waiting of a multicast
// member, and the lockstep data phase (a windowed read's data phase is
// window_read's). Each step returns RESULT_RUNNING while the read goes on,
// with own.deadline_ms set to when read_deadline falls due, else the read's
// RESULT_ value. Called by the transfer loop that runs the session only.
#pragma once

#include <cstddef>
#include <cstdint>

struct tftp_session;

// Where a read stands (own.state).
enum { READ_OPTIONS = 1, READ_MEMBER = 2, READ_BLOCKS = 3, READ_WINDOW = 4 };

// Sends the OACK, or the first block when no option was acknowledged.
int read_begin(tftp_session* session);

// One datagram from the client (length bytes, all in packet).
int read_datagram(tftp_session* session, const uint8_t* packet, size_t length);

// After the datagrams waiting on the socket have been taken.
int read_datagrams_taken(tftp_session* session);

// Receiving on the data socket failed: the read ends as its step would
// end it without the client's ACK.
int read_receive_failed(tftp_session* session);

// The deadline has passed: a resend, the end of a member's turn, or the
// end of the read.
int read_deadline(tftp_session* session);

// A plain multicast member whose OACK went unanswered waits for the stream:
// it takes the client's ACKs, and every MEMBER_SLICE_MS looks whether it has
// been made master (then it sends the OACK again, now with the master flag).
int read_member_wait(tftp_session* session);

// A waiting member looks for a promotion this often.
constexpr uint32_t MEMBER_SLICE_MS = 100;
