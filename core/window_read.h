// A read with the windowsize option (RFC 7440), as steps of the read: the
// window goes out, an ACK of any block in it moves the window past that
// block, a time-out sends the first block not acknowledged and the last one
// sent. Each step returns RESULT_RUNNING with own.deadline_ms set, or the
// read's RESULT_ value.
#pragma once

#include <cstddef>
#include <cstdint>

struct tftp_session;

// Allocates what the windows need before the OACK tells the window: 1, or
// 0 when memory is short (the window is then 1, the usual lockstep).
int prepare_window_read(tftp_session* session);

// Frees what prepare_window_read allocated.
void release_window_read(tftp_session* session);

// The data phase after the OACK's ACK: the first window goes out.
int window_begin(tftp_session* session);

// One datagram from the client: an ACK is noted, the window moves once the
// datagrams waiting have all been taken.
int window_datagram(tftp_session* session, const uint8_t* packet, size_t length);

// The datagrams waiting have been taken: the window moves as far as the
// furthest ACK among them.
int window_datagrams_taken(tftp_session* session);

// Receiving failed: completed when only the short last block is
// unacknowledged, else a time-out.
int window_receive_failed(tftp_session* session);

// No ACK moved the window in time: the probes go out, or the read ends.
int window_deadline(tftp_session* session);
