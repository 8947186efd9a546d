#include "platform/poller.h"

#include <winsock2.h>
#include <windows.h>

#include <new>
#include <vector>

#include "platform/clock.h"
#include "platform/udp_socket.h"

// WSAPoll over the watched sockets. Winsock has no eventfd: a wake is a
// datagram that a loopback socket connected to itself sends itself.
struct poller {
  std::vector<WSAPOLLFD> watched;  // [0] is the wake socket
  std::vector<void*> tags;
  int wake;
  size_t next = 0;  // where the next look at the sockets begins
};

static SOCKET handle_of(int socket) { return static_cast<SOCKET>(static_cast<unsigned>(socket)); }

poller* open_poller() {
  poller* p = new (std::nothrow) poller{};
  if (!p) return nullptr;
  ip_address loopback = ipv4_address(network_address(0x7F000001u));
  p->wake = open_udp_socket(loopback, 0);
  if (p->wake == -1 || !connect_socket(p->wake, loopback, network_port(bound_port(p->wake)))) {
    close_poller(p);
    return nullptr;
  }
  WSAPOLLFD entry{};
  entry.fd = handle_of(p->wake);
  entry.events = POLLRDNORM;
  p->watched.push_back(entry);
  p->tags.push_back(nullptr);
  return p;
}

void close_poller(poller* p) {
  if (!p) return;
  close_socket(p->wake);
  delete p;
}

int poller_watch(poller* p, int socket, void* tag) {
  WSAPOLLFD entry{};
  entry.fd = handle_of(socket);
  entry.events = POLLRDNORM;
  p->watched.push_back(entry);
  p->tags.push_back(tag);
  return 1;
}

void poller_forget(poller* p, int socket) {
  for (size_t i = 1; i < p->watched.size(); i++) {
    if (p->watched[i].fd != handle_of(socket)) continue;
    p->watched[i] = p->watched.back();
    p->tags[i] = p->tags.back();
    p->watched.pop_back();
    p->tags.pop_back();
    return;
  }
}

int poller_wait(poller* p, int64_t deadline_ms, poller_event* events, int max) {
  for (;;) {
    int timeout = deadline_ms < 0 ? -1 : wait_milliseconds(deadline_ms);
    if (timeout == 0) return 0;
    int n = WSAPoll(p->watched.data(), static_cast<ULONG>(p->watched.size()), timeout);
    if (n == SOCKET_ERROR) return -1;
    if (n == 0) {
      if (deadline_ms >= 0 && monotonic_now_ms() < deadline_ms) continue;
      return 0;
    }
    int stored = 0;
    if (p->watched[0].revents != 0) {
      p->watched[0].revents = 0;
      events[stored++].tag = nullptr;
      char byte[16];
      while (take_datagram(p->wake, byte, sizeof byte) >= 0) {
      }
    }
    // The look begins where the last one stopped, so that with more sockets
    // ready than max, those at the end are reported as often as the others.
    size_t sockets = p->watched.size() - 1;
    for (size_t k = 0; k < sockets; k++) {
      size_t i = 1 + (p->next + k) % sockets;
      if (p->watched[i].revents == 0) continue;
      if (stored == max) {
        p->next = i - 1;
        break;
      }
      p->watched[i].revents = 0;
      events[stored++].tag = p->tags[i];
    }
    if (stored > 0) return stored;
  }
}

void poller_wake(poller* p) {
  char byte = 1;
  send_datagram(p->wake, &byte, 1);
}
