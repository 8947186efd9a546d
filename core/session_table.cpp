#include "core/session_table.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "core/clock.h"
#include "core/session.h"
#include "core/settings.h"
#include "platform/poller.h"
#include "platform/udp_socket.h"
#include "core/transfer_log.h"

tftp_session* session_list = nullptr;
std::mutex list_lock;
std::atomic<uint32_t> active_transfers{0};
std::atomic<uint32_t> early_endings{0};

tftp_session* find_session_by_peer(const ip_address& client, uint16_t client_port) {
  for (tftp_session* s = session_list; s; s = s->next)
    if (session_is_live(s) && !s->evicted.load() && same_address(s->client_address, client) &&
        s->client_port == client_port)
      return s;
  return nullptr;
}

void set_error_text(tftp_session* session, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::lock_guard<std::mutex> hold(list_lock);
  vsnprintf(session->error_text, sizeof session->error_text, format, arguments);
  va_end(arguments);
}

void release_slot(tftp_session* session) {
  if (session->counted.exchange(0) != 1) return;
  uint32_t n = active_transfers.load();
  while (n > 0 && !active_transfers.compare_exchange_weak(n, n - 1)) {
  }
}

void note_progress(tftp_session* session) {
  session->last_progress_ms.store(monotonic_now_ms(), std::memory_order_relaxed);
  session->progressed.store(1, std::memory_order_relaxed);
}

int64_t silence_limit_ms() {
  int64_t retransmit = Retransmit.load() > 0 ? Retransmit.load() : 1;
  return static_cast<int64_t>(Timeout.load()) * retransmit * 1000;
}

// Wakes the transfer loop that runs the session, which then looks at its
// evicted flag and server_stop.
static void wake_transfer_loop(tftp_session* s) {
  poller* waker = s->waker.load();
  if (waker) poller_wake(waker);
}

// Marks the session evicted, gives its slot back and wakes its loop, which
// then ends the transfer as a time-out does (its time-out may be 255 s
// away). Call with list_lock held.
static void end_session_early(tftp_session* s) {
  s->evicted = 1;
  release_slot(s);
  early_endings.fetch_add(1);
  wake_transfer_loop(s);
  // A loop that serves it alone waits in its receive, not in the poller.
  if (s->data_socket != -1) wake_receivers(s->data_socket);
}

int take_over_silent_slot() {
  int64_t now = monotonic_now_ms();
  std::lock_guard<std::mutex> hold(list_lock);
  tftp_session* silent = nullptr;
  int64_t longest = silence_limit_ms();
  for (tftp_session* s = session_list; s; s = s->next) {
    if (s->counted.load() != 1 || s->thread.load() <= 0) continue;  // running transfers only
    int64_t quiet = now - s->last_progress_ms.load(std::memory_order_relaxed);
    if (quiet > longest) {
      longest = quiet;
      silent = s;
    }
  }
  if (!silent) return 0;
  end_session_early(silent);
  return 1;
}

// FNV-1a: tells a retransmitted request from a new one without keeping it.
static uint64_t digest_of(const char* bytes, size_t length) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < length; i++) h = (h ^ static_cast<uint8_t>(bytes[i])) * 1099511628211ull;
  return h ^ length;
}

tftp_session* admit_session(const ip_address& client, uint16_t client_port, const char* request, size_t length,
                            int* refusal) {
  uint64_t digest = digest_of(request, length);
  if (tftp_session* old = find_session_by_peer(client, client_port)) {
    // The client's retransmission of its request, sent before our first
    // packet reached it: the transfer that answers it is already running.
    // Whatever else it sends here that is no request is a stray.
    int is_request = length >= 2 && request[0] == 0 && (request[1] == OPCODE_RRQ || request[1] == OPCODE_WRQ);
    if (!is_request || (!old->progressed.load(std::memory_order_relaxed) && old->request_digest == digest)) {
      *refusal = ADMIT_DUPLICATE;
      return nullptr;
    }
    std::lock_guard<std::mutex> hold(list_lock);
    end_session_early(old);
  }
  // One more than Clients is let in, as the limit has always counted.
  if (active_transfers.load() > Clients.load() && !take_over_silent_slot()) {
    *refusal = ADMIT_FULL;
    return nullptr;
  }
  tftp_session* s = new_session();
  if (!s) {
    *refusal = ADMIT_NO_MEMORY;
    return nullptr;
  }
  s->client_address = client;
  s->client_port = client_port;
  s->request_digest = digest;
  s->last_progress_ms = monotonic_now_ms();
  s->counted = 1;
  active_transfers.fetch_add(1);
  std::lock_guard<std::mutex> hold(list_lock);
  s->next = session_list;
  session_list = s;
  *refusal = ADMITTED;
  return s;
}

static void unlink_session(tftp_session* session) {
  for (tftp_session** link = &session_list; *link; link = &(*link)->next) {
    if (*link == session) {
      *link = session->next;
      return;
    }
  }
}

void drop_session(tftp_session* session) {
  release_slot(session);
  {
    std::lock_guard<std::mutex> hold(list_lock);
    unlink_session(session);
  }
  free_session(session);
}

void purge_sessions() {
  tftp_session** link = &session_list;
  while (*link) {
    tftp_session* s = *link;
    if (!session_is_live(s)) {
      *link = s->next;
      free_session(s);
    } else {
      link = &s->next;
    }
  }
}

void purge_finished_sessions() {
  std::lock_guard<std::mutex> hold(list_lock);
  purge_sessions();
}

void close_session_socket(tftp_session* session) {
  std::lock_guard<std::mutex> hold(list_lock);
  session->data_socket = close_socket(session->data_socket);
}

static int wake_running_transfers() {
  std::lock_guard<std::mutex> hold(list_lock);
  int running = 0;
  for (tftp_session* s = session_list; s; s = s->next) {
    if (s->thread.load() <= 0) continue;
    running++;
    wake_transfer_loop(s);
  }
  return running;
}

int end_running_transfers(int64_t deadline_ms) {
  for (;;) {
    // Woken again each round: a transfer may have been handed over since.
    int running = wake_running_transfers();
    if (running == 0 || monotonic_now_ms() >= deadline_ms) return running;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
