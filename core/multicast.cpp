#include "core/multicast.h"

#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <chrono>

#include "core/server_loop.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "core/transfer.h"
#include "core/transfer_log.h"

// Sessions that may share one stream: same file, mode and block size.
static int same_stream(const tftp_session* a, const tftp_session* b) {
  return a->mode == b->mode && a->block_size == b->block_size && strcasecmp(a->path, b->path) == 0;
}

// Sessions of one group: same group address and port.
static int same_group(const tftp_session* a, const tftp_session* b) {
  return a->multicast_ip == b->multicast_ip && a->multicast_port == b->multicast_port;
}

// 1 for a session that still reads by multicast.
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

constexpr uint32_t MEMBER_SLICE_MS = 100;

int wait_as_member(tftp_session* session) {
  // Listening in short slices lets a promoted member send its OACK at once
  // rather than up to a timeout later; a time-out is still traced, and the
  // group checked for a master, once per full timeout.
  uint32_t timeout_ms = session->timeout * 1000u;
  set_receive_timeout_ms(session->data_socket, timeout_ms < MEMBER_SLICE_MS ? timeout_ms : MEMBER_SLICE_MS);
  auto turn_start = std::chrono::steady_clock::now();
  int result = -1;
  while (!server_stop && session->multicast_master.load() == 0) {
    int r = receive_ack(session);
    if (r < 0 || r == 2 || r == 3) {
      result = r < 0 ? RESULT_TIMEOUT : r == 2 ? RESULT_ABORTED : RESULT_OK;
      break;
    }
    auto now = std::chrono::steady_clock::now();
    if (r == 0 && now - turn_start >= std::chrono::milliseconds(timeout_ms)) {
      log_line(2, 0, " TFTP  ack timeout %u\n", session->block.load());
      claim_orphaned_group(session);
      turn_start = now;
    }
  }
  set_receive_timeout(session->data_socket, session->timeout);
  return result;
}

int set_multicast_ttl(const tftp_session* session) {
  uint32_t ttl = MulticastTTL.load();
  if (ttl == 1) return 1;
  int value = static_cast<int>(ttl > 255 ? 255 : ttl);
  return setsockopt(session->data_socket, IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof value) == 0;
}
