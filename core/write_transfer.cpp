#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "core/file_views.h"
#include "core/netascii.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/transfer.h"
#include "core/transfer_log.h"

enum { DISK_FULL_CODE = 3, DISK_FULL_TEXT = 3 };

void send_ack(uint32_t number, int socket) {
  uint8_t packet[4] = {0, OPCODE_ACK, static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
  send(socket, packet, sizeof packet, 0);
  log_line(3, 0, " TFTP  ack %u sent\n", number & 0xFFFFu);
}

// Writes one block's payload; the last block is flushed as well, so that a
// full disk is found before the client is told the upload arrived.
static int store_payload(tftp_session* s, const uint8_t* data, size_t size, int last) {
  int ok = s->mode == MODE_NETASCII ? netascii_write(s->file, data, size)
                                    : fwrite(data, 1, size, s->file) == size;
  if (ok && last) ok = fflush(s->file) == 0;
  return ok;
}

static int report_disk_full(tftp_session* s) {
  uint8_t packet[ERROR_PACKET_SIZE];
  send(s->data_socket, packet, build_error_packet(DISK_FULL_CODE, DISK_FULL_TEXT, packet), 0);
  set_error_text(s, "%u %s", DISK_FULL_CODE, error_texts[DISK_FULL_TEXT]);
  log_line(1, 1, " TFTP  write failed on block %u: %s\n", s->block.load() + 1, error_texts[DISK_FULL_TEXT]);
  return RESULT_FAILED;
}

int run_write_transfer(tftp_session* s) {
  uint32_t retransmit = Retransmit;
  uint32_t retries = 0;
  uint64_t written = 0;
  size_t full_packet = static_cast<size_t>(s->block_size) + 4;
  // The file is cut only now that the transfer really starts.
  if (!start_upload_file(s)) return report_disk_full(s);
  if (s->option_flags)
    send_oack(s);
  else
    send_ack(s->block, s->data_socket);

  while (!server_stop) {
    // The buffer holds block_size + 8 bytes; one byte more than a full packet
    // is asked for, and the full length reported, so an oversized one shows.
    long n = receive_datagram(s->data_socket, s->packet, full_packet + 1);
    if (n == RECEIVE_TIMEOUT) {
      if (retries > retransmit) return RESULT_TIMEOUT;
      retries++;
      if (s->block == 0 && s->option_flags)
        send_oack(s);
      else
        send_ack(s->block & 0xFFFFu, s->data_socket);
      continue;
    }
    if (n < 4 || static_cast<size_t>(n) > full_packet) {
      log_line(2, 0, " TFTP  receive error %d on block %u\n", n < 0 ? errno : 0, s->block.load() + 1);
      return RESULT_FAILED;
    }
    unsigned opcode = static_cast<unsigned>(s->packet[0] << 8 | s->packet[1]);
    if (opcode == OPCODE_ERROR) {
      take_error_text(s, s->packet, static_cast<size_t>(n));
      return RESULT_ABORTED;
    }
    if (opcode != OPCODE_DATA) continue;

    uint32_t d = static_cast<uint32_t>(s->packet[2] << 8 | s->packet[3]);
    log_line(3, 0, " TFTP  received block %u, %u bytes\n", d, static_cast<unsigned>(n));
    uint32_t block = s->block;
    uint32_t expected = (block + 1) & 0xFFFFu;
    int is_short = static_cast<size_t>(n) < full_packet;
    if (d == expected) {
      size_t payload = static_cast<size_t>(n) - 4;
      if (!store_payload(s, s->packet + 4, payload, is_short)) return report_disk_full(s);
      send_ack(d, s->data_socket);
      s->block = block + 1;
      written += payload;
      if (is_short) break;
    } else if (d < expected) {
      send_ack(d, s->data_socket);
    } else if (block + 1 > 65535 && expected < 32768 && d >= 32768) {
      send_ack(d, s->data_socket);  // an old block from before the last wrap
    }
    // Only the block just written ends the upload: a short block from the
    // future would otherwise truncate the file.
    retries = 0;
  }
  s->file_size = written;
  return RESULT_OK;
}
