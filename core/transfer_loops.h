// The transfer loops: a thread per core, each waiting in one poller on the
// data sockets and the deadlines of the transfers it runs, and calling their
// steps (transfer.h) when a datagram comes or a deadline passes. A transfer
// costs no thread of its own; a loop that nothing wakes sleeps.
#pragma once

struct tftp_session;

// Starts the loops unless they run already: at the server's start, so that
// what they hold is there before any transfer. Returns how many run.
int start_transfer_loops();

// Hands an accepted session (its data socket open, its thread token set,
// result RESULT_RUNNING) to the loop that runs the fewest transfers,
// starting the loops if they do not run yet. Sets session->waker, which wakes that
// loop: it then ends the session when it is evicted or the server stops.
// Returns 1, or 0 when no loop could be started (the session is not taken).
int start_transfer(tftp_session* session);

