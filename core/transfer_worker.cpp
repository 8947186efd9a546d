#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/file_views.h"
#include "core/multicast.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/transfer.h"
#include "core/transfer_log.h"
#include "platform/udp_socket.h"

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

void release_transfer(tftp_session* s) {
  delete[] s->packet;
  s->packet = nullptr;
  delete[] s->next_packet;
  s->next_packet = nullptr;
  release_window_read(s);
  if (s->option_flags & OPT_MULTICAST) leave_multicast_group(s);
  release_file(s);
  close_session_socket(s);
}

void transfer_worker(tftp_session* s) {
  if (!connect_socket(s->data_socket, s->client_ip, s->client_port)) {
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
  release_transfer(s);
  // The slot is given back before the session is marked finished: the loop
  // may free it right after.
  release_slot(s);
  s->thread.store(-1, std::memory_order_release);
}
