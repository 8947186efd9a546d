#include "core/multicast.h"

#include <atomic>
#include <new>

#include "core/clock.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "platform/udp_socket.h"

struct multicast_group {
  uint32_t ip;          // network order
  uint16_t port;        // host order
  uint64_t device;      // the file streamed
  uint64_t inode;
  int32_t mode;
  uint16_t block_size;
  uint32_t sessions;    // sessions placed in the group and not yet ended
  tftp_session* master;  // nullptr only while the group is empty
  uint16_t data_port;   // the data port its sessions share, 0 until known
  std::atomic<int64_t> progress_ms;
  multicast_group* next;
};

static multicast_group* groups = nullptr;  // under list_lock

static int port_in_use(uint16_t port) {
  for (multicast_group* g = groups; g; g = g->next)
    if (g->port == port) return 1;
  return 0;
}

// Sessions that may share one stream: the same file, mode and block size.
static multicast_group* find_stream(const tftp_session* s) {
  for (multicast_group* g = groups; g; g = g->next)
    if (g->master && g->device == s->file_device && g->inode == s->file_inode && g->mode == s->mode &&
        g->block_size == s->block_size)
      return g;
  return nullptr;
}

int assign_multicast_group(tftp_session* session) {
  std::lock_guard<std::mutex> hold(list_lock);
  session->multicast_master = 0;
  multicast_group* g = find_stream(session);
  if (g) {
    g->sessions++;
    session->group = g;
    session->multicast_ip = g->ip;
    session->multicast_port = g->port;
    return 0;
  }
  uint16_t port = MulticastPort.load();
  uint16_t last = MulticastLast.load();
  while (port_in_use(port) && port < last) port = static_cast<uint16_t>(port + 1);
  if (port_in_use(port) || !(g = new (std::nothrow) multicast_group{})) {
    session->option_flags &= ~static_cast<uint32_t>(OPT_MULTICAST);
    return 0;
  }
  g->ip = MulticastIp.load();
  g->port = port;
  g->device = session->file_device;
  g->inode = session->file_inode;
  g->mode = session->mode;
  g->block_size = session->block_size;
  g->sessions = 1;
  g->master = session;
  g->progress_ms = monotonic_now_ms();
  g->next = groups;
  groups = g;
  session->group = g;
  session->multicast_ip = g->ip;
  session->multicast_port = port;
  session->multicast_master = 1;
  return 1;
}

int share_group_data_port(tftp_session* session) {
  // Sharing is allowed only after the bind, so that no port the system picks
  // for another socket can land on this one.
  uint16_t port = bound_port(session->data_socket);
  if (port == 0 || !allow_port_sharing(session->data_socket)) return 0;
  std::lock_guard<std::mutex> hold(list_lock);
  if (session->group) session->group->data_port = port;
  return 1;
}

int open_member_data_socket(const tftp_session* session) {
  uint16_t port;
  {
    std::lock_guard<std::mutex> hold(list_lock);
    port = session->group ? session->group->data_port : 0;
  }
  return port == 0 ? -1 : open_shared_udp_socket(port);
}

void leave_multicast_group(tftp_session* session) {
  std::lock_guard<std::mutex> hold(list_lock);
  multicast_group* g = session->group;
  if (!g) return;
  session->group = nullptr;
  if (g->master == session) {
    // The newest member that is still there takes over; members are placed
    // and leave under this lock, so none can be missed.
    g->master = nullptr;
    for (tftp_session* s = session_list; s; s = s->next) {
      if (s != session && s->group == g) {
        s->multicast_master = 1;
        g->master = s;
        break;
      }
    }
    session->multicast_master = 0;
  }
  if (--g->sessions > 0) return;
  for (multicast_group** link = &groups; *link; link = &(*link)->next) {
    if (*link == g) {
      *link = g->next;
      break;
    }
  }
  delete g;
}

// A session's own group pointer changes only on the loop that runs it (and
// before it is handed over), so that loop reads it without the lock; the group
// lives while the session is in it.
void note_group_progress(tftp_session* session) {
  if (session->group) session->group->progress_ms.store(monotonic_now_ms(), std::memory_order_relaxed);
}

int64_t group_progress_ms(const tftp_session* session) {
  return session->group ? session->group->progress_ms.load(std::memory_order_relaxed) : 0;
}

int set_multicast_ttl(const tftp_session* session) {
  uint32_t ttl = MulticastTTL.load();
  if (ttl == 1) return 1;
  return set_multicast_ttl_option(session->data_socket, static_cast<int>(ttl > 255 ? 255 : ttl));
}

int multicast_group_count() {
  std::lock_guard<std::mutex> hold(list_lock);
  int n = 0;
  for (multicast_group* g = groups; g; g = g->next) n++;
  return n;
}
