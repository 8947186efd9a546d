#include "core/multicast.h"

#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include "core/server_loop.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "core/transfer.h"

// Sessions that may share one stream: same file, mode and block size.
static int same_stream(const tftp_session* a, const tftp_session* b) {
  return a->mode == b->mode && a->block_size == b->block_size && strcasecmp(a->path, b->path) == 0;
}

static int same_group(const tftp_session* a, const tftp_session* b) {
  return a->multicast_ip == b->multicast_ip && a->multicast_port == b->multicast_port;
}

static int is_multicast(const tftp_session* s) { return (s->option_flags & OPT_MULTICAST) != 0; }

int assign_multicast_group(tftp_session* session) {
  session->multicast_master = 0;
  // Only this thread links sessions, so the list is walked without the lock;
  // the master flags that workers change are atomic.
  for (tftp_session* s = session_list; s; s = s->next) {
    if (s != session && session_is_live(s) && is_multicast(s) && s->multicast_master.load() == 1 &&
        same_stream(s, session)) {
      session->multicast_ip = s->multicast_ip;
      session->multicast_port = s->multicast_port;
      session->group_data_port = s->group_data_port;
      return 0;
    }
  }
  uint16_t port = MulticastPort.load();
  uint16_t last = MulticastLast.load();
  int free = multicast_port_free(port);
  while (!free && port < last) {
    port = static_cast<uint16_t>(port + 1);
    free = multicast_port_free(port);
  }
  if (!free) {
    session->option_flags &= ~static_cast<uint32_t>(OPT_MULTICAST);
    return 0;
  }
  session->multicast_port = port;
  session->multicast_ip = MulticastIp.load();
  session->multicast_master = 1;
  return 1;
}

int share_group_data_port(tftp_session* session) {
  int one = 1;
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  // Sharing is allowed only after the bind, so that no port the system picks
  // for another socket can land on this one.
  if (setsockopt(session->data_socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      getsockname(session->data_socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
    return 0;
  session->group_data_port = ntohs(bound.sin_port);
  return 1;
}

int open_member_data_socket(const tftp_session* session) {
  if (session->group_data_port == 0) return -1;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  int one = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(session->group_data_port);
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0 ||
      bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return close_socket(s);
  return s;
}

void hand_over_master(tftp_session* session) {
  std::lock_guard<std::mutex> hold(list_lock);
  // A plain member has no role to pass on; promoting a newer member here
  // would give the group a second master beside the running one.
  if (session->multicast_master.load() != 1) return;
  for (tftp_session* s = session_list; s; s = s->next) {
    if (s != session && session_is_live(s) && is_multicast(s) && s->multicast_master.load() == 0 &&
        same_group(s, session) && same_stream(s, session)) {
      s->multicast_master = 1;
      break;
    }
  }
  session->multicast_master = 0;
}

// A member that joined while its master was ending may have been missed by
// the hand-over (it was not listed yet). When the group has no live master,
// the waiting member takes the role, under the lock, so only one does.
static void claim_orphaned_group(tftp_session* session) {
  std::lock_guard<std::mutex> hold(list_lock);
  for (tftp_session* s = session_list; s; s = s->next)
    if (session_is_live(s) && is_multicast(s) && s->multicast_master.load() == 1 && same_group(s, session))
      return;
  session->multicast_master = 1;
}

int wait_as_member(tftp_session* session) {
  while (!server_stop && session->multicast_master.load() == 0) {
    int r = wait_for_ack(session);
    if (r < 0) return RESULT_TIMEOUT;
    if (r == 2) return RESULT_ABORTED;
    if (r == 3) return RESULT_OK;
    if (r == 0) claim_orphaned_group(session);
  }
  return -1;
}

int set_multicast_ttl(const tftp_session* session) {
  uint32_t ttl = MulticastTTL.load();
  if (ttl == 1) return 1;
  int value = static_cast<int>(ttl > 255 ? 255 : ttl);
  return setsockopt(session->data_socket, IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof value) == 0;
}
