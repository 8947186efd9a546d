#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/file_views.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "core/transfer.h"
#include "core/transfer_log.h"

int wait_readable(int socket, uint32_t seconds) {
  pollfd p{socket, POLLIN, 0};
  int timeout_ms = seconds > 2000000 ? 2000000000 : static_cast<int>(seconds * 1000);
  int r = poll(&p, 1, timeout_ms);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (r == 0) return 0;
  return (p.revents & (POLLERR | POLLNVAL)) && !(p.revents & POLLIN) ? -1 : 1;
}

void take_error_text(tftp_session* s, const uint8_t* packet, size_t length) {
  unsigned code = length >= 4 ? static_cast<unsigned>(packet[2] << 8 | packet[3]) : 0;
  size_t n = 0;
  while (4 + n < length && n < 116 && packet[4 + n] != 0) n++;
  snprintf(s->error_text, sizeof s->error_text, "%u %.*s", code, static_cast<int>(n),
           reinterpret_cast<const char*>(packet + 4));
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
  if (connect(s->data_socket, reinterpret_cast<sockaddr*>(&client), sizeof client) != 0) {
    log_line(2, 1, " TFTP  Error data connection failed\n");
  } else {
    auto start = std::chrono::steady_clock::now();
    s->error_text[0] = 0;
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
  release_file(s);
  s->data_socket = close_socket(s->data_socket);
  // Count out before the session is marked finished: the loop may free it right after.
  uint32_t n = active_transfers.load();
  while (n > 0 && !active_transfers.compare_exchange_weak(n, n - 1)) {
  }
  s->thread.store(-1, std::memory_order_release);
}
