#include "core/session_table.h"

#include <chrono>
#include <thread>

#include "core/clock.h"
#include "core/session.h"
#include "core/settings.h"
#include "platform/udp_socket.h"
#include "core/transfer_log.h"

tftp_session* session_list = nullptr;
std::mutex list_lock;
std::atomic<uint32_t> active_transfers{0};

tftp_session* find_session_by_peer(uint32_t client_ip, uint16_t client_port) {
  for (tftp_session* s = session_list; s; s = s->next)
    if (session_is_live(s) && s->client_ip == client_ip && s->client_port == client_port) return s;
  return nullptr;
}

void release_slot(tftp_session* session) {
  if (session->counted.exchange(0) != 1) return;
  uint32_t n = active_transfers.load();
  while (n > 0 && !active_transfers.compare_exchange_weak(n, n - 1)) {
  }
}

void note_progress(tftp_session* session) {
  session->last_progress_ms.store(monotonic_now_ms(), std::memory_order_relaxed);
}

int64_t silence_limit_ms() {
  int64_t retransmit = Retransmit.load() > 0 ? Retransmit.load() : 1;
  return static_cast<int64_t>(Timeout.load()) * retransmit * 1000;
}

int take_over_silent_slot() {
  int64_t now = monotonic_now_ms();
  std::lock_guard<std::mutex> hold(list_lock);
  tftp_session* silent = nullptr;
  int64_t longest = silence_limit_ms();
  for (tftp_session* s = session_list; s; s = s->next) {
    if (s->counted.load() != 1 || s->thread.load() <= 0) continue;  // running workers only
    int64_t quiet = now - s->last_progress_ms.load(std::memory_order_relaxed);
    if (quiet > longest) {
      longest = quiet;
      silent = s;
    }
  }
  if (!silent) return 0;
  silent->evicted = 1;
  release_slot(silent);
  // The worker may wait in a receive for up to 255 s: end that receive now.
  // Sockets are closed only under this lock, so the descriptor is still ours.
  int socket = silent->data_socket.load();
  if (socket != -1) wake_receivers(socket);
  return 1;
}

tftp_session* admit_session(uint32_t client_ip, uint16_t client_port, int* refusal) {
  if (find_session_by_peer(client_ip, client_port)) {
    *refusal = ADMIT_DUPLICATE;
    return nullptr;
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
  s->client_ip = client_ip;
  s->client_port = client_port;
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

static int wake_running_workers() {
  std::lock_guard<std::mutex> hold(list_lock);
  int running = 0;
  for (tftp_session* s = session_list; s; s = s->next) {
    if (s->thread.load() <= 0) continue;
    running++;
    int socket = s->data_socket.load();
    if (socket != -1) wake_receivers(socket);
  }
  return running;
}

int end_running_transfers(int64_t deadline_ms) {
  for (;;) {
    // Woken again each round: a worker may have been between two receives.
    int running = wake_running_workers();
    if (running == 0 || monotonic_now_ms() >= deadline_ms) return running;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
