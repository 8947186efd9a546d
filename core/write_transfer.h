// A write transfer's steps (an upload): each returns RESULT_RUNNING with
// own.deadline_ms set to when write_deadline falls due, or the upload's
// RESULT_ value. Called by the transfer loop that runs the session only.
#pragma once

#include <cstddef>
#include <cstdint>

struct tftp_session;

// Where an upload stands (own.state).
enum { WRITE_RECEIVING = 5 };

// Sends the OACK, or ACK 0 when no option was acknowledged.
int write_begin(tftp_session* session);

// One datagram from the client (length bytes, all in packet).
int write_datagram(tftp_session* session, const uint8_t* packet, size_t length);

// No block came in time: the last ACK (or the OACK) goes out again, or the
// upload ends as a time-out.
int write_deadline(tftp_session* session);

// The server stops before the last block: the new file is dropped and the
// name keeps what it had.
int write_stopped(tftp_session* session);
