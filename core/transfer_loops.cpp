#include "core/transfer_loops.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/deadline_heap.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/transfer.h"
#include "platform/poller.h"
#include "platform/udp_socket.h"

// At most this many loops, however many cores.
constexpr unsigned LOOPS_MAX = 16;
// Events taken from the poller at once.
constexpr int EVENT_BATCH = 64;
// Datagrams taken from one socket before the others get their turn.
constexpr int DATAGRAMS_PER_TURN = 64;
// Receives any UDP datagram whole, so its real length is its length.
constexpr size_t DATAGRAM_BUFFER_SIZE = 65536;
// A loop left with one lockstep transfer waits in that transfer's own
// receive, which is one system call per ACK where the poller takes two (a
// single stream costs a third less CPU that way). What else could need the
// loop (a transfer handed over, an eviction, a stop) is looked at after
// every receive, so it waits this long at most.
constexpr uint32_t ALONE_SLICE_MS = 10;

struct transfer_loop {
  poller* waiter;
  std::mutex inbox_lock;
  std::vector<tftp_session*> inbox;  // handed over, not yet begun (under inbox_lock)
  std::atomic<int> load{0};          // transfers handed to it and not yet finished
  // The loop thread's alone:
  std::vector<tftp_session*> slots;  // the transfers it runs, by own.loop_slot
  std::vector<int> free_slots;
  deadline_heap deadlines;
  uint8_t* datagram;
  uint32_t endings_seen = 0;  // early_endings when it last looked for evicted transfers
};

static std::once_flag loops_started;
static transfer_loop* loops = nullptr;
static int loop_count = 0;

// The transfer has ended or goes on: a running one waits for its new
// deadline, an ended one leaves the loop and is finished.
static void settle(transfer_loop* l, tftp_session* s, int result) {
  int slot = s->own.loop_slot;
  if (result == RESULT_RUNNING) {
    set_deadline(&l->deadlines, slot, s->own.deadline_ms);
    return;
  }
  poller_forget(l->waiter, s->data_socket);
  clear_deadline(&l->deadlines, slot);
  l->slots[static_cast<size_t>(slot)] = nullptr;
  l->free_slots.push_back(slot);
  finish_transfer(s, result);
  l->load.fetch_sub(1);
}

// Takes what waits on the transfer's socket, a turn's worth at most (the
// poller reports the rest). A windowed read looks at every ACK waiting
// before its window moves; anything else takes one datagram a turn, which
// spares the receive that would only find none left.
static void take_datagrams(transfer_loop* l, tftp_session* s) {
  int turn = s->own.windowed ? DATAGRAMS_PER_TURN : 1;
  for (int i = 0; i < turn; i++) {
    if (s->evicted.load(std::memory_order_relaxed) || server_stop) return settle(l, s, transfer_interrupted(s));
    long n = receive_waiting_datagram(s->data_socket, l->datagram, DATAGRAM_BUFFER_SIZE);
    if (n == SOCKET_TIMEOUT) break;
    if (n == SOCKET_FAILED) return settle(l, s, transfer_receive_failed(s));
    int r = transfer_datagram(s, l->datagram, static_cast<size_t>(n));
    if (r != RESULT_RUNNING) return settle(l, s, r);
  }
  settle(l, s, transfer_datagrams_taken(s));
}

// Begins the transfers handed over since the last look.
static void adopt_new_transfers(transfer_loop* l) {
  std::vector<tftp_session*> handed;
  {
    std::lock_guard<std::mutex> hold(l->inbox_lock);
    handed.swap(l->inbox);
  }
  for (tftp_session* s : handed) {
    int slot;
    if (!l->free_slots.empty()) {
      slot = l->free_slots.back();
      l->free_slots.pop_back();
      l->slots[static_cast<size_t>(slot)] = s;
    } else {
      slot = static_cast<int>(l->slots.size());
      l->slots.push_back(s);
    }
    s->own.loop_slot = slot;
    if (!poller_watch(l->waiter, s->data_socket, s)) {
      s->own.unlogged = 1;
      settle(l, s, RESULT_FAILED);
      continue;
    }
    settle(l, s, transfer_begin(s));
  }
}

// A wake may mean that a transfer was evicted or that the server stops;
// most wakes only hand over new transfers, and then nobody is looked at.
static void end_interrupted_transfers(transfer_loop* l) {
  int stopping = server_stop.load();
  uint32_t endings = early_endings.load();
  if (!stopping && endings == l->endings_seen) return;
  l->endings_seen = endings;
  for (tftp_session* s : l->slots)
    if (s && (stopping || s->evicted.load(std::memory_order_relaxed))) settle(l, s, transfer_interrupted(s));
}

static void run_due_deadlines(transfer_loop* l) {
  int64_t now = monotonic_now_ms();
  int64_t due;
  int slot;
  while ((slot = first_deadline(&l->deadlines, &due)) >= 0 && due <= now) {
    tftp_session* s = l->slots[static_cast<size_t>(slot)];
    int r = transfer_deadline(s);
    // A step always looks ahead; this keeps a faulty one from spinning.
    if (r == RESULT_RUNNING && s->own.deadline_ms <= now) s->own.deadline_ms = now + 1;
    settle(l, s, r);
  }
}

// Nothing but the one transfer it runs needs the loop: none handed over,
// none evicted, no stop.
static int left_alone(transfer_loop* l) {
  return l->load.load() == 1 && !server_stop.load() && early_endings.load() == l->endings_seen;
}

// Serves the loop's one transfer (in slot) from its socket while the loop is
// left alone; returns when the transfer has ended or the poller is needed.
static void run_alone(transfer_loop* l, int slot) {
  tftp_session* s = l->slots[static_cast<size_t>(slot)];
  if (!s || s->own.windowed || !set_receive_timeout(s->data_socket, ALONE_SLICE_MS)) return;
  while (left_alone(l)) {
    long n = receive_datagram(s->data_socket, l->datagram, DATAGRAM_BUFFER_SIZE);
    if (n == SOCKET_FAILED) return settle(l, s, transfer_receive_failed(s));
    if (n >= 0) {
      int r = transfer_datagram(s, l->datagram, static_cast<size_t>(n));
      if (r == RESULT_RUNNING) r = transfer_datagrams_taken(s);
      settle(l, s, r);
      if (r != RESULT_RUNNING) return;
    }
    run_due_deadlines(l);
    if (l->slots[static_cast<size_t>(slot)] != s) return;
  }
}

static void run_loop(transfer_loop* l) {
  poller_event events[EVENT_BATCH];
  for (;;) {
    int64_t due = -1;
    first_deadline(&l->deadlines, &due);
    int n = poller_wait(l->waiter, due, events, EVENT_BATCH);
    int woken = 0;
    int only_slot = -1;  // the slot of the one transfer this turn served
    // Datagrams first: a transfer ends only by its own event here, so every
    // event of this batch still names a live transfer.
    for (int i = 0; i < n; i++) {
      if (events[i].tag) {
        auto* s = static_cast<tftp_session*>(events[i].tag);
        only_slot = only_slot == -1 ? s->own.loop_slot : -2;
        take_datagrams(l, s);
      } else {
        woken = 1;
      }
    }
    if (woken) {
      adopt_new_transfers(l);
      end_interrupted_transfers(l);
    }
    run_due_deadlines(l);
    if (n < 0) std::this_thread::yield();
    if (only_slot >= 0 && left_alone(l)) run_alone(l, only_slot);
  }
}

static void start_loops() {
  unsigned cores = std::thread::hardware_concurrency();
  unsigned count = std::min(LOOPS_MAX, std::max(1u, cores));
  transfer_loop* made = new (std::nothrow) transfer_loop[count];
  if (!made) return;
  int started = 0;
  for (unsigned i = 0; i < count; i++) {
    transfer_loop* l = &made[i];
    l->waiter = open_poller();
    l->datagram = new (std::nothrow) uint8_t[DATAGRAM_BUFFER_SIZE];
    if (!l->waiter || !l->datagram) break;
    try {
      // The loops serve the process to its end: a desktop server started
      // again finds them waiting.
      std::thread(run_loop, l).detach();
    } catch (...) {
      break;
    }
    started++;
  }
  if (started == 0) return;
  loops = made;
  loop_count = started;
}

int start_transfer_loops() {
  std::call_once(loops_started, start_loops);
  return loop_count;
}

int start_transfer(tftp_session* s) {
  if (start_transfer_loops() == 0) return 0;
  transfer_loop* chosen = &loops[0];
  for (int i = 1; i < loop_count; i++)
    if (loops[i].load.load() < chosen->load.load()) chosen = &loops[i];
  chosen->load.fetch_add(1);
  s->waker = chosen->waiter;
  {
    std::lock_guard<std::mutex> hold(chosen->inbox_lock);
    chosen->inbox.push_back(s);
  }
  poller_wake(chosen->waiter);
  return 1;
}
