#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/file_views.h"
#include "core/multicast.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "core/transfer.h"
#include "core/transfer_log.h"

void set_receive_timeout_ms(int socket, uint32_t milliseconds) {
  timeval t{};
  uint32_t ms = milliseconds > 86400000u ? 86400000u : milliseconds;
  t.tv_sec = ms / 1000;
  t.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  // A zero time-out means "wait forever" to the socket; keep it a short wait instead.
  if (ms == 0) t.tv_usec = 1000;
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
}

void set_receive_timeout(int socket, uint32_t seconds) {
  set_receive_timeout_ms(socket, seconds > 86400 ? 86400000u : seconds * 1000u);
}

long receive_datagram(int socket, uint8_t* buffer, size_t size) {
  // One receive per wait: the time-out lives on the socket, so no poll is needed.
  for (int i = 0; i < 64; i++) {
    ssize_t n = recv(socket, buffer, size, MSG_TRUNC);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return RECEIVE_TIMEOUT;
    if (errno != ECONNREFUSED) return RECEIVE_FAILED;
  }
  return RECEIVE_FAILED;
}

void take_error_text(tftp_session* s, const uint8_t* packet, size_t length) {
  unsigned code = length >= 4 ? static_cast<unsigned>(packet[2] << 8 | packet[3]) : 0;
  size_t n = 0;
  while (4 + n < length && n < 116 && packet[4 + n] != 0) n++;
  set_error_text(s, "%u %.*s", code, static_cast<int>(n), reinterpret_cast<const char*>(packet + 4));
}

static void write_result_line(tftp_session* s, const char* label, long duration) {
  char address[16];
  format_ipv4(s->client_ip, address);
  switch (s->result.load()) {
    case RESULT_OK:
      log_line(1, 1, " %7lus %-15s %-10s %s\n", static_cast<unsigned long>(duration), address, label, s->path);
      break;
    case RESULT_TIMEOUT:
      log_line(1, 1, "  Timeout %-15s %-10s %s\n", address, label, s->path);
      break;
    case RESULT_ABORTED:
      log_line(1, 1, "  Abort   %-15s %-10s %s %s\n", address, label, s->error_text, s->path);
      break;
    default:
      log_line(1, 1, "  Error   %-15s %-10s %s\n", address, label, s->path);
      break;
  }
}

void transfer_worker(tftp_session* s) {
  active_transfers.fetch_add(1);
  sockaddr_in client{};
  client.sin_family = AF_INET;
  client.sin_addr.s_addr = s->client_ip;
  client.sin_port = s->client_port;
  set_receive_timeout(s->data_socket, s->timeout);
  if (connect(s->data_socket, reinterpret_cast<sockaddr*>(&client), sizeof client) != 0) {
    log_line(2, 1, " TFTP  Error data connection failed\n");
  } else {
    auto start = std::chrono::steady_clock::now();
    char label[16];
    snprintf(label, sizeof label, "%s/%s", s->opcode == OPCODE_WRQ ? "Put" : "Get", mode_names[s->mode & 3]);
    s->result = s->opcode == OPCODE_WRQ ? run_write_transfer(s) : run_read_transfer(s);
    long duration = static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count());
    reopen_log();
    write_result_line(s, label, duration);
  }
  delete[] s->packet;
  s->packet = nullptr;
  delete[] s->next_packet;
  s->next_packet = nullptr;
  if (s->option_flags & OPT_MULTICAST) hand_over_master(s);
  release_file(s);
  s->data_socket = close_socket(s->data_socket);
  // Count out before the session is marked finished: the loop may free it right after.
  uint32_t n = active_transfers.load();
  while (n > 0 && !active_transfers.compare_exchange_weak(n, n - 1)) {
  }
  s->thread.store(-1, std::memory_order_release);
}
