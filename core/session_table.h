// The session table: which requests hold a slot of the Clients limit, the
// list of running and recently finished transfers, and the taking over of
// slots that silent clients hold.
//
// A session counts against the limit from the moment it is admitted, before
// its request is even parsed, and is listed at once, so that every thread
// that walks the list sees it. Only the server loop's thread admits, drops
// and purges sessions; everything else a session holds (its shared view,
// its group) is counted by identity in file_views and multicast.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/ip_address.h"

struct tftp_session;

// The sessions, newest first; list_lock guards the links and every field
// that another thread reads while the transfer runs. active_transfers counts
// the slots of the Clients limit in use.
extern tftp_session* session_list;
extern std::mutex list_lock;
extern std::atomic<uint32_t> active_transfers;
// Counts the sessions ended early (evicted): a transfer loop that is woken
// looks for them only when it has moved.
extern std::atomic<uint32_t> early_endings;

// Formats the session's error_text under list_lock, so that the control
// channel can copy the record while the transfer runs.
void set_error_text(tftp_session* session, const char* format, ...) __attribute__((format(printf, 2, 3)));

enum { ADMITTED = 0, ADMIT_DUPLICATE = 1, ADMIT_FULL = 2, ADMIT_NO_MEMORY = 3 };

// Admits a request (length bytes) from the peer (address and port in
// network order): a zeroed session, listed, holding a slot. Returns it, or
// nullptr with the reason in *refusal: the table is full and no silent slot
// could be taken over, memory ran out, or the peer has a live session and
// this is either no RRQ or WRQ or a copy of the request that started that
// session while it is still at its first packet (ADMIT_DUPLICATE). Any
// other request from a peer with a live session means that the client has
// started over: the old session is ended as a time-out ends it, so that
// firmware that resets and asks again from the same port is served.
tftp_session* admit_session(const ip_address& client, uint16_t client_port, const char* request, size_t length,
                            int* refusal);

// Unlists and frees a session that was never handed to a transfer loop; its slot is
// given back. The caller has released what it held.
void drop_session(tftp_session* session);

// Frees every finished session. Takes list_lock.
void purge_finished_sessions();

// Unlinks and frees every finished session. Call with list_lock held.
void purge_sessions();

// The first live session of that client address and port that has not
// been ended early, or nullptr. Server loop thread only.
tftp_session* find_session_by_peer(const ip_address& client, uint16_t client_port);

// Gives the session's slot back; only the first call counts.
void release_slot(tftp_session* session);

// The client moved the transfer on (an expected ACK or DATA).
void note_progress(tftp_session* session);

// Closes the session's data socket under list_lock, so that nobody who
// takes the lock can act on a descriptor that is already reused.
void close_session_socket(tftp_session* session);

// A full table may give the slot of a session whose client has not moved
// it for longer than this (Timeout x Retransmit of the settings, in ms).
int64_t silence_limit_ms();

// Takes over the slot of the admitted session that has been silent longest,
// if that is longer than silence_limit_ms: the session is marked evicted,
// its slot given back and its transfer loop woken, which then ends it. Returns 1
// when a slot was freed. Server loop thread.
int take_over_silent_slot();

// At shutdown: wakes the loop of every running transfer (server_stop is already set, so
// a read ends completed and an upload is dropped) and waits until none runs or the
// monotonic clock passes deadline_ms. Returns how many still run. The
// process may end only after this, since transfers use process-wide locks.
int end_running_transfers(int64_t deadline_ms);
