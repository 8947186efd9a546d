// The transfer worker and the read and write transfers.
#pragma once

#include <cstddef>
#include <cstdint>

struct tftp_session;
struct packet_wait;

// Thread body of one transfer: connects the data socket, runs the read or
// write transfer, writes the result line and releases everything.
void transfer_worker(tftp_session* session);

// Sends the file; returns a RESULT_ value.
int run_read_transfer(tftp_session* session);

// Receives the file; returns a RESULT_ value.
int run_write_transfer(tftp_session* session);

enum { LOAD_BEYOND_END = -1, LOAD_FAILED = -2 };

// Fills buffer with the DATA packet of block `index`; returns the payload
// length, LOAD_BEYOND_END when index lies beyond the end of the file, or
// LOAD_FAILED when the file cannot be read (an I/O error, or a file cut
// short since it was opened).
int load_block(tftp_session* session, uint8_t* buffer, uint32_t index);

// The wait of a plain multicast member after its OACK went unanswered:
// waits for ACKs until the session becomes master or the server stops.
// Returns -1 to go on (promoted, or stopping), else the transfer's RESULT_
// value: completed when the client reports the whole file, aborted on an
// ERROR, time-out when the wait fails or the slot is taken over.
int wait_as_member(tftp_session* session);

// What next_ack_packet found.
enum { ACK_TAKEN = 1, ACK_NONE = 0, ACK_FAILED = -1, ACK_ERROR = 2 };

// Takes the client's next ACK before the wait's deadline, passing over other
// packets: ACK_TAKEN with its block number, ACK_NONE at the deadline,
// ACK_FAILED when the wait failed or the slot was taken over, ACK_ERROR
// when the client sent an ERROR (its text is in error_text).
int next_ack_packet(tftp_session* session, packet_wait* wait, uint32_t* number);

// next_ack_packet for a packet that has arrived already: ACK_NONE at once
// when none waits.
int waiting_ack_packet(tftp_session* session, uint32_t* number);

// Ends a read whose file cannot be read at block index `index`: the client
// gets an ERROR rather than a short file that looks complete. Returns
// RESULT_FAILED.
int read_failed(tftp_session* session, uint32_t index);

// A read with the windowsize option. prepare_window_read allocates what
// its windows need before the OACK tells the window: 1, or 0 when memory
// is short (the window is then 1, the usual lockstep). run_window_read is
// the data phase after the OACK's ACK: the window goes out, an ACK of any
// block in it moves the window past that block, a time-out sends the
// window again. Returns a RESULT_ value.
int prepare_window_read(tftp_session* session);
int run_window_read(tftp_session* session);

// Frees what prepare_window_read allocated (the worker's cleanup).
void release_window_read(tftp_session* session);


// Waits, until the wait's deadline, for the ACK the read transfer expects:
// 1 expected ACK, 0 time-out, -1 wait failed, slot taken over or ACK beyond
// the end, 2 ERROR from the client, 3 a multicast member that has the whole
// file. Other packets are passed over without moving the deadline.
int wait_for_ack(tftp_session* session, packet_wait* wait);
