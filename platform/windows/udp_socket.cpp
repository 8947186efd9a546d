#include "platform/udp_socket.h"
#include "platform/clock.h"
#include "platform/socket_address.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

// Winsock's SOCKET is a handle; the system keeps handle values within 32
// bits, so the int of the interface holds it.
static SOCKET handle_of(int socket) { return static_cast<SOCKET>(static_cast<unsigned>(socket)); }

// A shutdown does not end a receive that another thread waits in, so every
// socket of this backend waits on events instead: one the system sets when a
// datagram is there, and one that wake_receivers sets for good. The receive
// time-out is kept here, as the socket's own applies to blocking calls only.
struct socket_events {
  WSAEVENT readable;
  HANDLE woken;  // manual reset: once set, every later receive ends at once
  std::atomic<DWORD> timeout_ms{INFINITE};
};
static std::mutex table_lock;
static std::map<int, std::shared_ptr<socket_events>> table;

static std::shared_ptr<socket_events> events_of(int socket) {
  std::lock_guard<std::mutex> hold(table_lock);
  auto found = table.find(socket);
  return found == table.end() ? nullptr : found->second;
}

static int add_events(SOCKET s) {
  auto events = std::make_shared<socket_events>();
  events->readable = WSACreateEvent();
  events->woken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (events->readable == WSA_INVALID_EVENT || !events->woken ||
      WSAEventSelect(s, events->readable, FD_READ) != 0) {
    if (events->readable != WSA_INVALID_EVENT) WSACloseEvent(events->readable);
    if (events->woken) CloseHandle(events->woken);
    return 0;
  }
  std::lock_guard<std::mutex> hold(table_lock);
  table[static_cast<int>(s)] = events;
  return 1;
}

static void drop_events(int socket) {
  std::shared_ptr<socket_events> events;
  {
    std::lock_guard<std::mutex> hold(table_lock);
    auto found = table.find(socket);
    if (found == table.end()) return;
    events = found->second;
    table.erase(found);
  }
  WSACloseEvent(events->readable);
  CloseHandle(events->woken);
}

enum { WAIT_READABLE = 0, WAIT_WOKEN = 1, WAIT_EXPIRED = 2, WAIT_BROKEN = 3 };

// Waits until a datagram may be there, the socket was woken, or timeout_ms
// passed (INFINITE: no limit).
static int wait_for_datagram(const socket_events& events, DWORD timeout_ms) {
  if (WaitForSingleObject(events.woken, 0) == WAIT_OBJECT_0) return WAIT_WOKEN;
  HANDLE handles[2] = {events.woken, events.readable};
  DWORD r = WaitForMultipleObjects(2, handles, FALSE, timeout_ms);
  if (r == WAIT_OBJECT_0) return WAIT_WOKEN;
  if (r == WAIT_OBJECT_0 + 1) {
    WSAResetEvent(events.readable);
    return WAIT_READABLE;
  }
  return r == WAIT_TIMEOUT ? WAIT_EXPIRED : WAIT_BROKEN;
}

int net_startup() {
  static std::once_flag once;
  static int started = 0;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

static int family_of(int family) { return family == IP_V6 ? AF_INET6 : AF_INET; }

int open_unbound_udp_socket(int family) {
  if (!net_startup()) return -1;
  SOCKET s = WSASocketW(family_of(family), SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return -1;
  BOOL one = TRUE;
  // An ICMP "port unreachable" for an earlier send would otherwise fail the
  // next receive with WSAECONNRESET, on the listening socket too.
  BOOL report_reset = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report_reset, sizeof report_reset, nullptr, 0, &returned, nullptr, nullptr);
  // IPv4 traffic has sockets of its own, so an IPv6 socket never sees a
  // mapped address and both families may bind the same port.
  int option = family == IP_V6 ? setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one),
                                            sizeof one)
                               : setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&one),
                                            sizeof one);
  if (option != 0 || s > static_cast<SOCKET>(INT_MAX) || !add_events(s)) {
    int saved = WSAGetLastError();
    closesocket(s);
    WSASetLastError(saved);
    return -1;
  }
  return static_cast<int>(s);
}

static int bind_port(int s, const ip_address& address, uint32_t port) {
  sockaddr_storage sa;
  int length = socket_address_of(address, network_port(static_cast<uint16_t>(port)), &sa);
  return bind(handle_of(s), reinterpret_cast<sockaddr*>(&sa), length);
}

int bind_udp_socket(int socket, const ip_address& address, uint16_t port) {
  if (bind_port(socket, address, port) == 0) return BIND_DONE;
  // Windows reserves some ranges: such a port is as good as taken.
  int error = WSAGetLastError();
  return error == WSAEADDRINUSE || error == WSAEACCES ? BIND_PORT_TAKEN : BIND_FAILED;
}

int open_udp_socket(const ip_address& address, uint16_t port) {
  int s = open_unbound_udp_socket(address.family);
  if (s < 0) return -1;
  if (bind_port(s, address, port) != 0) {
    int saved = WSAGetLastError();
    close_socket(s);
    WSASetLastError(saved);
    return -1;
  }
  return s;
}

int allow_port_sharing(int socket) {
  BOOL one = TRUE;
  return setsockopt(handle_of(socket), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

uint16_t bound_port(int socket) {
  sockaddr_storage bound{};
  int length = sizeof bound;
  uint16_t port = 0;
  if (getsockname(handle_of(socket), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
  address_from(bound, &port);
  return ntohs(port);
}

// The address the socket is bound to (an any-address when it is bound to
// all), or an address of family IP_NONE.
static ip_address bound_address(int socket) {
  sockaddr_storage bound{};
  int length = sizeof bound;
  if (getsockname(handle_of(socket), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return ip_address{};
  return address_from(bound, nullptr);
}

int close_socket(int socket) {
  if (socket == -1) return -1;
  drop_events(socket);
  closesocket(handle_of(socket));
  return -1;
}

int connect_socket(int socket, const ip_address& address, uint16_t port) {
  sockaddr_storage sa;
  int length = socket_address_of(address, port, &sa);
  return connect(handle_of(socket), reinterpret_cast<sockaddr*>(&sa), length) == 0;
}

int set_multicast_ttl_option(int socket, int ttl) {
  DWORD value = static_cast<DWORD>(ttl);
  return setsockopt(handle_of(socket), IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char*>(&value),
                    sizeof value) == 0;
}

static int size_fits(size_t size) { return size <= static_cast<size_t>(INT_MAX); }

// The sockets do not block (they are bound to events): a send that finds
// the buffer full waits for room, at most a second at a time and ten times.
static int wait_for_room(int socket) {
  if (WSAGetLastError() != WSAEWOULDBLOCK) return 0;
  for (int i = 0; i < 10; i++) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(handle_of(socket), &writable);
    timeval second{1, 0};
    int ready = select(0, nullptr, &writable, nullptr, &second);
    if (ready > 0) return 1;
    if (ready < 0) return 0;
  }
  WSASetLastError(WSAEWOULDBLOCK);
  return 0;
}

long send_datagram(int socket, const void* data, size_t size) {
  if (!size_fits(size)) {
    WSASetLastError(WSAEMSGSIZE);
    return -1;
  }
  for (;;) {
    int n = send(handle_of(socket), static_cast<const char*>(data), static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) return n;
    if (!wait_for_room(socket)) return -1;
  }
}

long send_datagram_to(int socket, const void* data, size_t size, const ip_address& address, uint16_t port) {
  if (!size_fits(size)) {
    WSASetLastError(WSAEMSGSIZE);
    return -1;
  }
  sockaddr_storage sa;
  int length = socket_address_of(address, port, &sa);
  for (;;) {
    int n = sendto(handle_of(socket), static_cast<const char*>(data), static_cast<int>(size), 0,
                   reinterpret_cast<sockaddr*>(&sa), length);
    if (n != SOCKET_ERROR) return n;
    if (!wait_for_room(socket)) return -1;
  }
}

// Room for one packet-information message of either family.
constexpr size_t PACKET_INFO_SPACE = WSA_CMSG_SPACE(sizeof(IN6_PKTINFO)) > WSA_CMSG_SPACE(sizeof(IN_PKTINFO))
                                         ? WSA_CMSG_SPACE(sizeof(IN6_PKTINFO))
                                         : WSA_CMSG_SPACE(sizeof(IN_PKTINFO));

long send_datagram_from(int socket, const void* data, size_t size, const ip_address& address, uint16_t port,
                        const ip_address& from) {
  if (from.family != address.family || is_any_address(from) || !size_fits(size))
    return send_datagram_to(socket, data, size, address, port);
  sockaddr_storage sa;
  WSABUF buffer;
  buffer.buf = static_cast<char*>(const_cast<void*>(data));
  buffer.len = static_cast<ULONG>(size);
  alignas(WSACMSGHDR) char control[PACKET_INFO_SPACE] = {};
  WSAMSG m{};
  m.name = reinterpret_cast<sockaddr*>(&sa);
  m.namelen = socket_address_of(address, port, &sa);
  m.lpBuffers = &buffer;
  m.dwBufferCount = 1;
  m.Control.buf = control;
  WSACMSGHDR* c = reinterpret_cast<WSACMSGHDR*>(control);
  if (from.family == IP_V6) {
    IN6_PKTINFO info{};
    memcpy(&info.ipi6_addr, from.bytes, 16);
    info.ipi6_ifindex = from.scope;
    c->cmsg_level = IPPROTO_IPV6;
    c->cmsg_type = IPV6_PKTINFO;
    c->cmsg_len = WSA_CMSG_LEN(sizeof info);
    memcpy(WSA_CMSG_DATA(c), &info, sizeof info);
    m.Control.len = WSA_CMSG_SPACE(sizeof info);
  } else {
    IN_PKTINFO info{};
    memcpy(&info.ipi_addr, from.bytes, 4);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = WSA_CMSG_LEN(sizeof info);
    memcpy(WSA_CMSG_DATA(c), &info, sizeof info);
    m.Control.len = WSA_CMSG_SPACE(sizeof info);
  }
  for (;;) {
    DWORD sent = 0;
    if (WSASendMsg(handle_of(socket), &m, 0, &sent, nullptr, nullptr) == 0) return static_cast<long>(sent);
    // A system without control data on sends: the system's choice of source.
    if (WSAGetLastError() == WSAEINVAL || WSAGetLastError() == WSAEOPNOTSUPP)
      return send_datagram_to(socket, data, size, address, port);
    if (!wait_for_room(socket)) return -1;
  }
}

// Winsock gathers a datagram from several buffers but has no call that
// sends several datagrams: one WSASend each.
int send_datagrams(int socket, const datagram_piece* pieces, int count) {
  if (count <= 0) return 0;
  if (count > DATAGRAM_BATCH_MAX) count = DATAGRAM_BATCH_MAX;
  for (int i = 0; i < count; i++) {
    if (!size_fits(pieces[i].head_size) || !size_fits(pieces[i].body_size)) return i > 0 ? i : -1;
    WSABUF buffers[2];
    buffers[0].buf = static_cast<char*>(const_cast<void*>(pieces[i].head));
    buffers[0].len = static_cast<ULONG>(pieces[i].head_size);
    buffers[1].buf = static_cast<char*>(const_cast<void*>(pieces[i].body));
    buffers[1].len = static_cast<ULONG>(pieces[i].body_size);
    DWORD sent = 0;
    while (WSASend(handle_of(socket), buffers, pieces[i].body_size ? 2 : 1, &sent, 0, nullptr, nullptr) != 0)
      if (!wait_for_room(socket)) return i > 0 ? i : -1;
  }
  return count;
}

int size_socket_buffers(int socket, size_t send_bytes, size_t receive_bytes) {
  int granted = 1;
  const int options[2] = {SO_SNDBUF, SO_RCVBUF};
  const size_t wanted[2] = {send_bytes, receive_bytes};
  for (int i = 0; i < 2; i++) {
    if (wanted[i] == 0) continue;
    int bytes = wanted[i] > INT32_MAX / 2 ? INT32_MAX / 2 : static_cast<int>(wanted[i]);
    int now = 0;
    int length = sizeof now;
    if (getsockopt(handle_of(socket), SOL_SOCKET, options[i], reinterpret_cast<char*>(&now), &length) == 0 &&
        now >= bytes)
      continue;
    setsockopt(handle_of(socket), SOL_SOCKET, options[i], reinterpret_cast<const char*>(&bytes), sizeof bytes);
    length = sizeof now;
    if (getsockopt(handle_of(socket), SOL_SOCKET, options[i], reinterpret_cast<char*>(&now), &length) != 0 ||
        now < bytes)
      granted = 0;
  }
  return granted;
}

int set_receive_timeout(int socket, uint32_t milliseconds) {
  auto events = events_of(socket);
  if (!events) {
    WSASetLastError(WSAENOTSOCK);
    return 0;
  }
  // Zero would be no wait at all: a millisecond, as on Linux.
  events->timeout_ms = milliseconds == 0 ? 1 : milliseconds;
  return 1;
}

// Winsock tells only that a datagram did not fit (WSAEMSGSIZE, the buffer
// filled with its start), not its length: one byte more than fitted stands
// for "longer than the buffer".
static long received_length(int n, size_t size, int* failed) {
  *failed = 0;
  if (n != SOCKET_ERROR) return n;
  int error = WSAGetLastError();
  if (error == WSAEMSGSIZE) return static_cast<long>(size) + 1;
  // A socket shut down by wake_receivers: every later receive ends at once.
  if (error == WSAESHUTDOWN) return 0;
  *failed = 1;
  return error == WSAETIMEDOUT || error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAECONNRESET ||
                 error == WSAECONNREFUSED
             ? SOCKET_TIMEOUT
             : SOCKET_FAILED;
}

static int receive_size(size_t size) { return size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size); }

// WSARecvMsg is reached through the socket provider, not the library.
static LPFN_WSARECVMSG receive_message_call(int socket) {
  static std::once_flag once;
  static LPFN_WSARECVMSG call = nullptr;
  std::call_once(once, [socket] {
    GUID id = WSAID_WSARECVMSG;
    DWORD returned = 0;
    WSAIoctl(handle_of(socket), SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &call, sizeof call, &returned,
             nullptr, nullptr);
  });
  return call;
}

// One receive of what is there: with message (its buffers and name set),
// WSARecvMsg; with source, recvfrom; else recv.
static int receive_once(int socket, void* buffer, size_t size, sockaddr_storage* source, WSAMSG* message) {
  if (message) {
    LPFN_WSARECVMSG call = receive_message_call(socket);
    if (!call) {
      WSASetLastError(WSAEOPNOTSUPP);
      return SOCKET_ERROR;
    }
    DWORD got = 0;
    message->namelen = sizeof(sockaddr_storage);
    message->dwFlags = 0;
    return call(handle_of(socket), message, &got, nullptr, nullptr) == 0 ? static_cast<int>(got) : SOCKET_ERROR;
  }
  if (source) {
    int length = sizeof *source;
    return recvfrom(handle_of(socket), static_cast<char*>(buffer), receive_size(size), 0,
                    reinterpret_cast<sockaddr*>(source), &length);
  }
  return recv(handle_of(socket), static_cast<char*>(buffer), receive_size(size), 0);
}

// Receives what is there; with wait, first waits up to timeout_ms for it.
static long receive_on(int socket, void* buffer, size_t size, int wait, DWORD timeout_ms, sockaddr_storage* source,
                       WSAMSG* message = nullptr) {
  auto events = events_of(socket);
  if (!events) {
    WSASetLastError(WSAENOTSOCK);
    return SOCKET_FAILED;
  }
  ULONGLONG deadline = timeout_ms == INFINITE ? 0 : GetTickCount64() + timeout_ms;
  for (;;) {
    if (WaitForSingleObject(events->woken, 0) == WAIT_OBJECT_0) return 0;
    int n = receive_once(socket, buffer, size, source, message);
    int failed;
    long got = received_length(n, size, &failed);
    if (!failed) return got;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return got;
    if (!wait) return SOCKET_TIMEOUT;
    DWORD left = INFINITE;
    if (timeout_ms != INFINITE) {
      ULONGLONG now = GetTickCount64();
      if (now >= deadline) return SOCKET_TIMEOUT;
      left = static_cast<DWORD>(deadline - now);
    }
    int woke = wait_for_datagram(*events, left);
    if (woke == WAIT_WOKEN) return 0;
    if (woke == WAIT_EXPIRED) return SOCKET_TIMEOUT;
    if (woke == WAIT_BROKEN) return SOCKET_FAILED;
  }
}

long receive_datagram(int socket, void* buffer, size_t size) {
  auto events = events_of(socket);
  DWORD timeout = events ? events->timeout_ms.load() : INFINITE;
  return receive_on(socket, buffer, size, 1, timeout, nullptr);
}

long receive_waiting_datagram(int socket, void* buffer, size_t size) {
  return receive_on(socket, buffer, size, 0, 0, nullptr);
}

// The sender of a datagram received (got bytes, or 0 when woken) into
// *address and *port; a sender of another family fails it.
static long with_sender(long got, const sockaddr_storage& source, ip_address* address, uint16_t* port) {
  if (got <= 0) return got;
  ip_address sender = address_from(source, port);
  if (sender.family == IP_NONE) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return SOCKET_FAILED;
  }
  *address = sender;
  return got;
}

static long cut_to(long got, size_t size) {
  return got > 0 && static_cast<size_t>(got) > size ? static_cast<long>(size) : got;
}

long take_datagram(int socket, void* buffer, size_t size) {
  return cut_to(receive_on(socket, buffer, size, 0, 0, nullptr), size);
}

long take_datagram_from(int socket, void* buffer, size_t size, ip_address* address, uint16_t* port) {
  sockaddr_storage source{};
  long got = receive_on(socket, buffer, size, 0, 0, &source);
  return cut_to(with_sender(got, source, address, port), size);
}

int ask_local_address(int socket) {
  DWORD one = 1;
  ip_address own = bound_address(socket);
  if (own.family == IP_V6)
    return setsockopt(handle_of(socket), IPPROTO_IPV6, IPV6_PKTINFO, reinterpret_cast<const char*>(&one),
                      sizeof one) == 0;
  return setsockopt(handle_of(socket), IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

long take_request(int socket, void* buffer, size_t size, ip_address* address, uint16_t* port, ip_address* local) {
  sockaddr_storage source{};
  WSABUF data;
  data.buf = static_cast<char*>(buffer);
  data.len = static_cast<ULONG>(receive_size(size));
  alignas(WSACMSGHDR) char control[PACKET_INFO_SPACE + 64];
  WSAMSG m{};
  m.name = reinterpret_cast<sockaddr*>(&source);
  m.lpBuffers = &data;
  m.dwBufferCount = 1;
  m.Control.buf = control;
  m.Control.len = sizeof control;
  long got = with_sender(receive_on(socket, buffer, size, 0, 0, nullptr, &m), source, address, port);
  if (got <= 0) return got;
  int told = 0;
  if (m.Control.len > sizeof control) m.Control.len = 0;
  for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&m); c; c = WSA_CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO && c->cmsg_len >= WSA_CMSG_LEN(sizeof(IN_PKTINFO))) {
      IN_PKTINFO info;
      memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
      // The destination as sent; a group or broadcast address cannot be an
      // answer's source, so the system chooses then.
      uint8_t first = reinterpret_cast<const uint8_t*>(&info.ipi_addr)[0];
      told = 1;
      *local = info.ipi_addr.s_addr != 0 && info.ipi_addr.s_addr != INADDR_BROADCAST && (first & 0xf0) != 0xe0
                   ? ipv4_address(info.ipi_addr.s_addr)
                   : any_address(IP_V4);
    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO &&
               c->cmsg_len >= WSA_CMSG_LEN(sizeof(IN6_PKTINFO))) {
      IN6_PKTINFO info;
      memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
      const uint8_t* bytes = info.ipi6_addr.s6_addr;
      // The interface matters to a link-local address only.
      uint8_t link_local = bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
      told = 1;
      *local = bytes[0] != 0xff ? ipv6_address(bytes, link_local ? info.ipi6_ifindex : 0) : any_address(IP_V6);
    }
  }
  // Asked only when the system did not tell: under Wine getsockname costs
  // as much as the rest of a refusal.
  if (!told) *local = bound_address(socket);
  return got;
}

// select, not the sockets' events: it leaves their event state alone and
// tells of each socket on its own.
int wait_sockets_readable(const int* sockets, int count, int64_t deadline_ms) {
  count = std::clamp(count, 0, 2);
  for (;;) {
    int64_t left = std::max<int64_t>(deadline_ms - monotonic_now_ms(), 0);
    if (count == 0) {
      // select refuses empty sets.
      Sleep(static_cast<DWORD>(std::min<int64_t>(left, INT32_MAX)));
      return 0;
    }
    fd_set readable;
    FD_ZERO(&readable);
    for (int i = 0; i < count; i++) FD_SET(handle_of(sockets[i]), &readable);
    int64_t slice = std::min<int64_t>(left, 24 * 3600 * 1000);
    timeval wait{static_cast<long>(slice / 1000), static_cast<long>(slice % 1000) * 1000};
    int r = select(0, &readable, nullptr, nullptr, &wait);
    if (r == SOCKET_ERROR) return -1;
    if (r == 0) {
      if (monotonic_now_ms() >= deadline_ms) return 0;
      continue;
    }
    int mask = 0;
    for (int i = 0; i < count; i++) {
      if (FD_ISSET(handle_of(sockets[i]), &readable)) mask |= 1 << i;
    }
    return mask;
  }
}

int set_multicast_membership(int socket, uint32_t group, int join) {
  ip_mreq request{};
  request.imr_multiaddr.s_addr = group;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  return setsockopt(handle_of(socket), IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                    reinterpret_cast<const char*>(&request), sizeof request) == 0;
}

int wake_receivers(int socket) {
  auto events = events_of(socket);
  if (!events) {
    WSASetLastError(WSAENOTSOCK);
    return 0;
  }
  return SetEvent(events->woken) != 0;
}

int socket_error() {
  // The core compares with the system's error numbers; Winsock has its own.
  int error = WSAGetLastError();
  switch (error) {
    case WSAEFAULT: return EFAULT;
    case WSAEWOULDBLOCK:
    case WSAETIMEDOUT: return EAGAIN;
    case WSAECONNREFUSED:
    case WSAECONNRESET: return ECONNREFUSED;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEMSGSIZE: return EMSGSIZE;
    case WSAEINTR: return EINTR;
    default: return error;
  }
}

int address_not_here(int error) { return error == WSAEADDRNOTAVAIL; }

char* socket_error_text(int error, char* buffer, size_t size) {
  if (size == 0) return buffer;
  // socket_error gives the C library's numbers for the errors the core
  // compares; every other one is Winsock's own.
  if (error < WSABASEERR) {
    snprintf(buffer, size, "%s", strerror(error));
    return buffer;
  }
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(error), 0, buffer, static_cast<DWORD>(size), nullptr);
  while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == '.')) buffer[--n] = 0;
  if (n == 0) snprintf(buffer, size, "error %d", error);
  return buffer;
}
