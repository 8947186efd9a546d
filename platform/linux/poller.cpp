#include "platform/poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/clock.h"

// epoll, level-triggered, with an eventfd for wakes.
struct poller {
  int epoll;
  int wake;
};

constexpr int POLLER_BATCH = 64;

poller* open_poller() {
  poller* p = new (std::nothrow) poller{-1, -1};
  if (!p) return nullptr;
  p->epoll = epoll_create1(EPOLL_CLOEXEC);
  p->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.ptr = nullptr;
  if (p->epoll == -1 || p->wake == -1 || epoll_ctl(p->epoll, EPOLL_CTL_ADD, p->wake, &e) != 0) {
    close_poller(p);
    return nullptr;
  }
  return p;
}

void close_poller(poller* p) {
  if (!p) return;
  if (p->epoll != -1) close(p->epoll);
  if (p->wake != -1) close(p->wake);
  delete p;
}

int poller_watch(poller* p, int socket, void* tag) {
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.ptr = tag;
  return epoll_ctl(p->epoll, EPOLL_CTL_ADD, socket, &e) == 0;
}

void poller_forget(poller* p, int socket) {
  epoll_event e{};
  epoll_ctl(p->epoll, EPOLL_CTL_DEL, socket, &e);
}

int poller_wait(poller* p, int64_t deadline_ms, poller_event* events, int max) {
  epoll_event got[POLLER_BATCH];
  if (max > POLLER_BATCH) max = POLLER_BATCH;
  for (;;) {
    int timeout = deadline_ms < 0 ? -1 : wait_milliseconds(deadline_ms);
    if (timeout == 0) return 0;
    int n = epoll_wait(p->epoll, got, max, timeout);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0 && deadline_ms >= 0 && monotonic_now_ms() < deadline_ms) continue;
    for (int i = 0; i < n; i++) {
      events[i].tag = got[i].data.ptr;
      if (!got[i].data.ptr) {
        uint64_t count;
        if (read(p->wake, &count, sizeof count) < 0) {
          // Nothing to take: another wait took the count already.
        }
      }
    }
    return n;
  }
}

void poller_wake(poller* p) {
  uint64_t one = 1;
  if (write(p->wake, &one, sizeof one) < 0) {
    // The counter is full: the poller is woken already.
  }
}
