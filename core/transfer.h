// The transfer worker and the read and write transfers.
#pragma once

#include <cstdint>

struct tftp_session;

// Thread body of one transfer: connects the data socket, runs the read or
// write transfer, writes the result line and releases everything.
void transfer_worker(tftp_session* session);

// Sends the file; returns a RESULT_ value.
int run_read_transfer(tftp_session* session);

// Receives the file; returns a RESULT_ value.
int run_write_transfer(tftp_session* session);

// Fills buffer with the DATA packet of block `index`; returns the payload
// length, or -1 when index lies beyond the end of the file.
int load_block(tftp_session* session, uint8_t* buffer, uint32_t index);

// Waits for the ACK the read transfer expects: 1 expected ACK, 0 time-out,
// -1 wait failed or ACK beyond the end, 2 ERROR from the client, 3 a
// multicast member that has the whole file.
int wait_for_ack(tftp_session* session);

// wait_for_ack without the trace line of a time-out, for a wait that keeps
// its own time (the member wait, which listens in short slices).
int receive_ack(tftp_session* session);

enum { RECEIVE_TIMEOUT = -2, RECEIVE_FAILED = -1 };

// Sets how long each receive on the session's data socket waits; 0 means a
// millisecond, not forever.
void set_receive_timeout(int socket, uint32_t seconds);
void set_receive_timeout_ms(int socket, uint32_t milliseconds);

// Receives one datagram into buffer (size bytes) on the connected data
// socket, waiting at most the socket's receive time-out. Returns its full
// length (which may exceed size: the rest is cut off), RECEIVE_TIMEOUT, or
// RECEIVE_FAILED. ICMP errors of earlier sends are passed over.
long receive_datagram(int socket, uint8_t* buffer, size_t size);

// Stores "%u %s" from an ERROR packet (message cut at 116 characters).
void take_error_text(tftp_session* session, const uint8_t* packet, size_t length);

// Sends ACK `number` (low 16 bits) on the connected socket.
void send_ack(uint32_t number, int socket);
