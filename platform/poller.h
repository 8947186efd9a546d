// Waiting on many sockets at once: what the transfer loops sleep in. A
// poller is used by the one thread that waits in it; only poller_wake may
// be called from any thread.
#pragma once

#include <cstdint>

struct poller;

// What one wait found: a watched socket that holds a datagram (or an
// error), by the tag it was watched with; tag nullptr for a wake.
struct poller_event {
  void* tag;
};

// A poller with nothing watched, or nullptr.
poller* open_poller();
void close_poller(poller* p);

// Watches the socket for datagrams; tag comes back with each event (never
// nullptr). Returns 1 or 0.
int poller_watch(poller* p, int socket, void* tag);

// Stops watching the socket (before it is closed).
void poller_forget(poller* p, int socket);

// Waits until a watched socket is readable, poller_wake is called, or the
// monotonic clock (monotonic_now_ms) reaches deadline_ms (-1: no
// deadline). A readable socket is reported again by the next wait while it
// still holds a datagram. Returns the events stored (at most max), 0 at the
// deadline, -1 on a wait error. A signal does not end the wait early.
int poller_wait(poller* p, int64_t deadline_ms, poller_event* events, int max);

// Ends the current or the next wait of the poller with a wake event.
void poller_wake(poller* p);
