// The transfer worker and the read and write transfers.
#pragma once

#include <cstddef>
#include <cstdint>

struct tftp_session;
struct packet_wait;

// Thread body of one transfer: connects the data socket, runs the read or
// write transfer, writes the result line and releases everything.
void transfer_worker(tftp_session* session);

// Gives back what a transfer holds: its buffers, its group, its file (an
// upload's new file is removed unless it was put in place) and its socket.
void release_transfer(tftp_session* session);

// Sends the file; returns a RESULT_ value.
int run_read_transfer(tftp_session* session);

// Receives the file; returns a RESULT_ value.
int run_write_transfer(tftp_session* session);

// The wait of a plain multicast member after its OACK went unanswered:
// waits for ACKs until the session becomes master or the server stops.
// Returns RESULT_RUNNING to go on (promoted, or stopping), else the transfer's RESULT_
// value: completed when the client reports the whole file, aborted on an
// ERROR, time-out when the wait fails or the slot is taken over.
int wait_as_member(tftp_session* session);

// A read with the windowsize option. prepare_window_read allocates what
// its windows need before the OACK tells the window: 1, or 0 when memory
// is short (the window is then 1, the usual lockstep). run_window_read is
// the data phase after the OACK's ACK: the window goes out, an ACK of any
// block in it moves the window past that block, a time-out sends the
// first block not acknowledged and the last one sent. Returns a RESULT_ value.
int prepare_window_read(tftp_session* session);
int run_window_read(tftp_session* session);

// Frees what prepare_window_read allocated (the worker's cleanup).
void release_window_read(tftp_session* session);


// Waits, until the wait's deadline, for the ACK the read transfer expects:
// ACK_TAKEN, ACK_NONE at the deadline, ACK_FAILED when the wait failed, the
// slot was taken over or the ACK lies beyond the end, ACK_ERROR from the
// client, ACK_MEMBER_HAS_ALL. Other packets are passed over without moving
// the deadline.
int wait_for_ack(tftp_session* session, packet_wait* wait);
