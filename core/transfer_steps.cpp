// The steps of every transfer, handed to the read or the write.
#include <cerrno>
#include <cstdio>

#include "core/clock.h"
#include "core/file_views.h"
#include "core/multicast.h"
#include "core/packets.h"
#include "core/read_transfer.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/transfer.h"
#include "core/transfer_log.h"
#include "core/window_read.h"
#include "core/write_transfer.h"
#include "platform/udp_socket.h"

static int is_upload(const tftp_session* s) { return s->opcode == OPCODE_WRQ; }

int transfer_begin(tftp_session* s) {
  s->own.started_ms = monotonic_now_ms();
  if (!connect_socket(s->data_socket, s->client_address, s->client_port)) {
    log_line(2, 1, " TFTP  Error data connection failed\n");
    s->own.unlogged = 1;
    return RESULT_FAILED;
  }
  return is_upload(s) ? write_begin(s) : read_begin(s);
}

int transfer_datagram(tftp_session* s, const uint8_t* packet, size_t length) {
  return is_upload(s) ? write_datagram(s, packet, length) : read_datagram(s, packet, length);
}

int transfer_datagrams_taken(tftp_session* s) { return is_upload(s) ? RESULT_RUNNING : read_datagrams_taken(s); }

int transfer_receive_failed(tftp_session* s) {
  if (is_upload(s)) {
    log_line(2, 0, " TFTP  receive error %d on block %u\n", errno, s->block.load() + 1);
    return RESULT_FAILED;
  }
  return read_receive_failed(s);
}

int transfer_deadline(tftp_session* s) { return is_upload(s) ? write_deadline(s) : read_deadline(s); }

int transfer_interrupted(tftp_session* s) {
  if (s->evicted.load()) {
    log_line(2, 0, " TFTP  silent client, slot taken over\n");
    return RESULT_TIMEOUT;
  }
  return is_upload(s) ? write_stopped(s) : RESULT_OK;
}

static void write_result_line(tftp_session* s, long duration) {
  char address[IP_TEXT_SIZE];
  char label[16];
  format_ip_address(s->client_address, address);
  snprintf(label, sizeof label, "%s/%s", is_upload(s) ? "Put" : "Get", mode_names[s->mode & 3]);
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

void finish_transfer(tftp_session* s, int result) {
  s->result = result;
  if (!s->own.unlogged) {
    reopen_log();
    write_result_line(s, static_cast<long>((monotonic_now_ms() - s->own.started_ms) / 1000));
  }
  release_transfer(s);
  // The slot is given back before the session is marked finished: the loop
  // may free it right after.
  release_slot(s);
  s->thread.store(-1, std::memory_order_release);
}
