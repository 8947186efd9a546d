#include "platform/udp_socket.h"
#include "platform/clock.h"
#include "platform/socket_address.h"

#include <netinet/in.h>
#include <poll.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

int net_startup() {
  // BSD sockets need no start-up; the function stays so that callers keep one
  // place for it on platforms whose socket library must be initialised.
  return 1;
}

static int family_of(int family) { return family == IP_V6 ? AF_INET6 : AF_INET; }

int open_unbound_udp_socket(int family) {
  int s = socket(family_of(family), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  int one = 1;
  // IPv4 traffic has sockets of its own, so an IPv6 socket never sees a
  // mapped address and both families may bind the same port.
  int option = family == IP_V6 ? setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one)
                               : setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  if (option != 0) {
    int saved = errno;
    close(s);
    errno = saved;
    return -1;
  }
  return s;
}

static int bind_port(int s, const ip_address& address, uint32_t port) {
  sockaddr_storage sa;
  socklen_t length = socket_address_of(address, htons(static_cast<uint16_t>(port)), &sa);
  return bind(s, reinterpret_cast<sockaddr*>(&sa), length);
}

int bind_udp_socket(int socket, const ip_address& address, uint16_t port) {
  if (bind_port(socket, address, port) == 0) return BIND_DONE;
  return errno == EADDRINUSE ? BIND_PORT_TAKEN : BIND_FAILED;
}

int open_udp_socket(const ip_address& address, uint16_t port) {
  int s = open_unbound_udp_socket(address.family);
  if (s < 0) return -1;
  if (bind_port(s, address, port) != 0) {
    int saved = errno;
    close(s);
    errno = saved;
    return -1;
  }
  return s;
}

int allow_port_sharing(int socket) {
  int one = 1;
  return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

uint16_t bound_port(int socket) {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  uint16_t port = 0;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
  address_from(bound, &port);
  return ntohs(port);
}

// The address the socket is bound to (an any-address when it is bound to
// all), or an address of family IP_NONE.
static ip_address bound_address(int socket) {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return ip_address{};
  return address_from(bound, nullptr);
}

int close_socket(int socket) {
  if (socket != -1) close(socket);
  return -1;
}

int connect_socket(int socket, const ip_address& address, uint16_t port) {
  sockaddr_storage sa;
  socklen_t length = socket_address_of(address, port, &sa);
  return connect(socket, reinterpret_cast<sockaddr*>(&sa), length) == 0;
}

int set_multicast_ttl_option(int socket, int ttl) {
  return setsockopt(socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0;
}

long send_datagram(int socket, const void* data, size_t size) {
  return static_cast<long>(send(socket, data, size, MSG_NOSIGNAL));
}

long send_datagram_to(int socket, const void* data, size_t size, const ip_address& address, uint16_t port) {
  sockaddr_storage sa;
  socklen_t length = socket_address_of(address, port, &sa);
  return static_cast<long>(sendto(socket, data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), length));
}

// Room for one packet-information message of either family.
constexpr size_t PACKET_INFO_SPACE = CMSG_SPACE(sizeof(in6_pktinfo)) > CMSG_SPACE(sizeof(in_pktinfo))
                                         ? CMSG_SPACE(sizeof(in6_pktinfo))
                                         : CMSG_SPACE(sizeof(in_pktinfo));

long send_datagram_from(int socket, const void* data, size_t size, const ip_address& address, uint16_t port,
                        const ip_address& from) {
  if (from.family != address.family || is_any_address(from))
    return send_datagram_to(socket, data, size, address, port);
  sockaddr_storage sa;
  iovec iov{const_cast<void*>(data), size};
  alignas(cmsghdr) char control[PACKET_INFO_SPACE] = {};
  msghdr m{};
  m.msg_name = &sa;
  m.msg_namelen = socket_address_of(address, port, &sa);
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  cmsghdr* c = reinterpret_cast<cmsghdr*>(control);
  if (from.family == IP_V6) {
    in6_pktinfo info{};
    memcpy(&info.ipi6_addr, from.bytes, 16);
    info.ipi6_ifindex = from.scope;
    c->cmsg_level = IPPROTO_IPV6;
    c->cmsg_type = IPV6_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof info);
    memcpy(CMSG_DATA(c), &info, sizeof info);
    m.msg_controllen = CMSG_SPACE(sizeof info);
  } else {
    in_pktinfo info{};
    memcpy(&info.ipi_spec_dst, from.bytes, 4);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof info);
    memcpy(CMSG_DATA(c), &info, sizeof info);
    m.msg_controllen = CMSG_SPACE(sizeof info);
  }
  return static_cast<long>(sendmsg(socket, &m, MSG_NOSIGNAL));
}

// The largest UDP payload of one IPv4 datagram, which a segmented send may
// not pass either.
constexpr size_t UDP_PAYLOAD_MAX = 65507;
// UDP segmentation offload takes at most this many segments a send.
constexpr int SEGMENTS_MAX = 64;

// A socket that refused a segmented send with that segment size is not
// asked again by this thread (one transfer per thread).
static thread_local int segmenting_refused_socket = -1;
static thread_local size_t segmenting_refused_size = 0;

static size_t piece_size(const datagram_piece& p) { return p.head_size + p.body_size; }

static void put_iov(iovec* iov, const datagram_piece& p) {
  iov[0].iov_base = const_cast<void*>(p.head);
  iov[0].iov_len = p.head_size;
  iov[1].iov_base = const_cast<void*>(p.body);
  iov[1].iov_len = p.body_size;
}

// Sends the datagrams one message each, in one system call while none fails.
static int send_each(int socket, const datagram_piece* pieces, int count) {
  mmsghdr messages[DATAGRAM_BATCH_MAX];
  iovec iov[2 * DATAGRAM_BATCH_MAX];
  memset(messages, 0, sizeof(mmsghdr) * static_cast<size_t>(count));
  for (int i = 0; i < count; i++) {
    put_iov(iov + 2 * i, pieces[i]);
    messages[i].msg_hdr.msg_iov = iov + 2 * i;
    messages[i].msg_hdr.msg_iovlen = 2;
  }
  int sent = 0;
  while (sent < count) {
    int n = sendmmsg(socket, messages + sent, static_cast<unsigned>(count - sent), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return sent > 0 ? sent : -1;
    }
    sent += n;
  }
  return sent;
}

// Sends datagrams of one segment size (the last may be shorter) as a few
// large sends that the kernel cuts into the datagrams. Returns the count
// sent, -1 when the first failed, or -2 when the kernel refuses to segment
// them (nothing was sent then).
static int send_segmented(int socket, const datagram_piece* pieces, int count, size_t segment) {
  int per_send = static_cast<int>(UDP_PAYLOAD_MAX / segment);
  if (per_send > SEGMENTS_MAX) per_send = SEGMENTS_MAX;
  if (per_send < 2) return -2;
  mmsghdr messages[DATAGRAM_BATCH_MAX];
  iovec iov[2 * DATAGRAM_BATCH_MAX];
  alignas(cmsghdr) char control[DATAGRAM_BATCH_MAX][CMSG_SPACE(sizeof(uint16_t))];
  int groups = 0;
  int first_of[DATAGRAM_BATCH_MAX + 1];
  for (int i = 0; i < count; i += per_send, groups++) {
    int n = count - i < per_send ? count - i : per_send;
    first_of[groups] = i;
    for (int j = 0; j < n; j++) put_iov(iov + 2 * (i + j), pieces[i + j]);
    msghdr& m = messages[groups].msg_hdr;
    memset(&messages[groups], 0, sizeof messages[groups]);
    m.msg_iov = iov + 2 * i;
    m.msg_iovlen = static_cast<size_t>(2 * n);
    m.msg_control = control[groups];
    m.msg_controllen = sizeof control[groups];
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    uint16_t size = static_cast<uint16_t>(segment);
    memcpy(CMSG_DATA(c), &size, sizeof size);
  }
  first_of[groups] = count;
  int done = 0;
  while (done < groups) {
    int n = sendmmsg(socket, messages + done, static_cast<unsigned>(groups - done), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Devices without checksum offload, a segment above the path's MTU,
      // or a kernel without the option.
      if (errno == EIO || errno == EINVAL || errno == EMSGSIZE || errno == ENOPROTOOPT || errno == EOPNOTSUPP) {
        if (done == 0) return -2;
        int rest = send_each(socket, pieces + first_of[done], count - first_of[done]);
        return first_of[done] + (rest > 0 ? rest : 0);
      }
      return done > 0 ? first_of[done] : -1;
    }
    done += n;
  }
  return count;
}

int send_datagrams(int socket, const datagram_piece* pieces, int count) {
  if (count <= 0) return 0;
  if (count > DATAGRAM_BATCH_MAX) count = DATAGRAM_BATCH_MAX;
  if (count == 1) {
    iovec iov[2];
    put_iov(iov, pieces[0]);
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = 2;
    return sendmsg(socket, &m, MSG_NOSIGNAL) < 0 ? -1 : 1;
  }
  size_t segment = piece_size(pieces[0]);
  int same = piece_size(pieces[count - 1]) <= segment;
  for (int i = 1; same && i < count - 1; i++) same = piece_size(pieces[i]) == segment;
  if (same && !(socket == segmenting_refused_socket && segment == segmenting_refused_size)) {
    int sent = send_segmented(socket, pieces, count, segment);
    if (sent != -2) return sent;
    segmenting_refused_socket = socket;
    segmenting_refused_size = segment;
  }
  return send_each(socket, pieces, count);
}

int size_socket_buffers(int socket, size_t send_bytes, size_t receive_bytes) {
  int granted = 1;
  const int options[2][2] = {{SO_SNDBUF, SO_SNDBUFFORCE}, {SO_RCVBUF, SO_RCVBUFFORCE}};
  const size_t wanted[2] = {send_bytes, receive_bytes};
  for (int i = 0; i < 2; i++) {
    if (wanted[i] == 0) continue;
    int bytes = wanted[i] > INT32_MAX / 2 ? INT32_MAX / 2 : static_cast<int>(wanted[i]);
    int now = 0;
    socklen_t length = sizeof now;
    // The kernel reports twice what was set (its bookkeeping included).
    if (getsockopt(socket, SOL_SOCKET, options[i][0], &now, &length) == 0 && now / 2 >= bytes) continue;
    setsockopt(socket, SOL_SOCKET, options[i][0], &bytes, sizeof bytes);
    length = sizeof now;
    if (getsockopt(socket, SOL_SOCKET, options[i][0], &now, &length) == 0 && now / 2 >= bytes) continue;
    // Past the system's limit: allowed to a privileged process only.
    setsockopt(socket, SOL_SOCKET, options[i][1], &bytes, sizeof bytes);
    length = sizeof now;
    if (getsockopt(socket, SOL_SOCKET, options[i][0], &now, &length) != 0 || now / 2 < bytes) granted = 0;
  }
  return granted;
}

int set_receive_timeout(int socket, uint32_t milliseconds) {
  timeval t{};
  t.tv_sec = milliseconds / 1000;
  t.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
  // A zero time-out means "wait forever" to the socket.
  if (milliseconds == 0) t.tv_usec = 1000;
  return setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t) == 0;
}

long receive_datagram(int socket, void* buffer, size_t size) {
  ssize_t n = recv(socket, buffer, size, MSG_TRUNC);
  if (n >= 0) return static_cast<long>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) return SOCKET_TIMEOUT;
  return SOCKET_FAILED;
}

long receive_waiting_datagram(int socket, void* buffer, size_t size) {
  ssize_t n = recv(socket, buffer, size, MSG_TRUNC | MSG_DONTWAIT);
  if (n >= 0) return static_cast<long>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) return SOCKET_TIMEOUT;
  return SOCKET_FAILED;
}

static long taken_length(ssize_t n) {
  if (n >= 0) return static_cast<long>(n);
  return errno == EAGAIN || errno == EWOULDBLOCK ? SOCKET_TIMEOUT : SOCKET_FAILED;
}

int ask_local_address(int socket) {
  int one = 1;
  ip_address own = bound_address(socket);
  if (own.family == IP_V6) return setsockopt(socket, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one) == 0;
  return setsockopt(socket, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) == 0;
}

long take_request(int socket, void* buffer, size_t size, ip_address* address, uint16_t* port, ip_address* local) {
  for (;;) {
    sockaddr_storage source{};
    iovec iov{buffer, size};
    alignas(cmsghdr) char control[PACKET_INFO_SPACE + 64];
    msghdr m{};
    m.msg_name = &source;
    m.msg_namelen = sizeof source;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = recvmsg(socket, &m, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return taken_length(n);
    *address = address_from(source, port);
    if (address->family == IP_NONE) {
      errno = EAFNOSUPPORT;
      return SOCKET_FAILED;
    }
    int told = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO && c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
        in_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof info);
        // The local address the system answers from: the destination of a
        // unicast request, the interface's address for a broadcast one.
        told = info.ipi_spec_dst.s_addr != 0;
        if (told) *local = ipv4_address(info.ipi_spec_dst.s_addr);
      } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO &&
                 c->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
        in6_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof info);
        // The interface matters to a link-local address only; a request to a
        // group leaves the choice of the answer's address to the system.
        uint8_t link_local = info.ipi6_addr.s6_addr[0] == 0xfe && (info.ipi6_addr.s6_addr[1] & 0xc0) == 0x80;
        if (info.ipi6_addr.s6_addr[0] != 0xff)
          *local = ipv6_address(info.ipi6_addr.s6_addr, link_local ? info.ipi6_ifindex : 0);
        else
          *local = any_address(IP_V6);
        told = 1;
      }
    }
    // A system call less per request when the system told.
    if (!told) *local = bound_address(socket);
    return static_cast<long>(n);
  }
}

long take_datagram(int socket, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = recv(socket, buffer, size, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    return taken_length(n);
  }
}

long take_datagram_from(int socket, void* buffer, size_t size, ip_address* address, uint16_t* port) {
  for (;;) {
    sockaddr_storage source{};
    socklen_t length = sizeof source;
    ssize_t n = recvfrom(socket, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&source), &length);
    if (n < 0 && errno == EINTR) continue;
    if (n >= 0) *address = address_from(source, port);
    return taken_length(n);
  }
}

int wait_sockets_readable(const int* sockets, int count, int64_t deadline_ms) {
  pollfd p[2] = {};
  count = std::clamp(count, 0, 2);
  for (int i = 0; i < count; i++) p[i] = pollfd{sockets[i], POLLIN, 0};
  for (;;) {
    int r = poll(p, static_cast<nfds_t>(count), wait_milliseconds(deadline_ms));
    if (r == 0 && monotonic_now_ms() < deadline_ms) continue;  // a day's wait, or the clock ran slow
    if (r == 0) return 0;
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    int mask = 0;
    for (int i = 0; i < count; i++) {
      if (p[i].revents != 0) mask |= 1 << i;
    }
    return mask;
  }
}

int set_multicast_membership(int socket, uint32_t group, int join) {
  ip_mreq request{};
  request.imr_multiaddr.s_addr = group;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  return setsockopt(socket, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request,
                    sizeof request) == 0;
}

int wake_receivers(int socket) { return shutdown(socket, SHUT_RDWR) == 0; }

int socket_error() { return errno; }

int address_not_here(int error) { return error == EADDRNOTAVAIL; }

char* socket_error_text(int error, char* buffer, size_t size) {
  if (size == 0) return buffer;
  // The GNU strerror_r may return a static text instead of filling ours.
  const char* text = strerror_r(error, buffer, size);
  if (text != buffer) snprintf(buffer, size, "%s", text ? text : "unknown error");
  return buffer;
}
