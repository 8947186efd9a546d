// A transfer as the transfer loop drives it: steps called with what
// happened (it began, a datagram came, its deadline passed, it must end
// now), whatever kind of transfer it is. Each step returns RESULT_RUNNING
// while the transfer goes on, with own.deadline_ms set to when
// transfer_deadline falls due, else the transfer's RESULT_ value, after
// which the loop calls finish_transfer. Only the loop that runs the session
// calls them.
#pragma once

#include <cstddef>
#include <cstdint>

struct tftp_session;

// Connects the data socket to the client and sends the first packet.
int transfer_begin(tftp_session* session);

// One datagram from the client: its full length and its bytes (all of
// them: the loop receives into a buffer that holds any datagram).
int transfer_datagram(tftp_session* session, const uint8_t* packet, size_t length);

// After the datagrams that were waiting on the socket have been taken.
int transfer_datagrams_taken(tftp_session* session);

// Receiving on the data socket failed.
int transfer_receive_failed(tftp_session* session);

// The deadline in own.deadline_ms has passed.
int transfer_deadline(tftp_session* session);

// Ends the transfer at once: its slot was taken over (a time-out) or the
// server stops (a read ends completed, an upload is dropped).
int transfer_interrupted(tftp_session* session);

// Writes the result line and releases everything: the session's slot is
// given back and the session marked ended, after which the server loop may
// free it at any time.
void finish_transfer(tftp_session* session, int result);

// Gives back what a transfer holds: its buffers, its group, its file (an
// upload's new file is removed unless it was put in place) and its socket.
void release_transfer(tftp_session* session);
