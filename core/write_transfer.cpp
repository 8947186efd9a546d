#include "core/write_transfer.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/data_socket.h"
#include "core/netascii.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "platform/udp_socket.h"

// Writes one block's payload; the last block is flushed as well, so that a
// full disk is found before the client is told the upload arrived.
static int store_payload(tftp_session* s, const uint8_t* data, size_t size, int last) {
  int ok = s->mode == MODE_NETASCII ? netascii_write(s->file, data, size)
                                    : fwrite(data, 1, size, s->file) == size;
  if (ok && last) ok = fflush(s->file) == 0;
  return ok;
}

// Ends the upload with an ERROR to the client; its new file is removed when
// the transfer is released, so the name keeps what it had.
static int refuse_upload(tftp_session* s, int code, int message_index, const char* why) {
  send_session_error(s, code, message_index);
  set_error_text(s, "%u %s", static_cast<unsigned>(code), error_texts[message_index]);
  log_line(1, 1, " TFTP  write failed on block %u: %s\n", s->block.load() + 1, why);
  return RESULT_FAILED;
}

// The upload is complete: its file replaces the name, and only then is the
// client told. Returns 1, or 0 after an ERROR to the client.
static int put_upload_in_place(tftp_session* s, int* result) {
  if (commit_upload(&s->own.upload, fileno(s->file), s->own.overwrite)) return 1;
  *result = errno == EEXIST ? refuse_upload(s, TFTP_ERROR_EXISTS, MSG_FILE_EXISTS, error_texts[MSG_FILE_EXISTS])
                            : refuse_upload(s, TFTP_ERROR_DISK_FULL, MSG_DISK_FULL, error_texts[MSG_DISK_FULL]);
  return 0;
}

int write_begin(tftp_session* s) {
  transfer_own& o = s->own;
  o.state = WRITE_RECEIVING;
  o.retransmit = Retransmit;
  o.tries = 0;
  o.written = 0;
  // With a window the client sends that many blocks before it waits for
  // our ACK; a window of 1 is the usual lockstep.
  o.write_window = (s->option_flags & OPT_WINDOWSIZE) ? s->window_size : 1;
  if (o.write_window > 1) size_socket_buffers(s->data_socket, 0, window_socket_bytes(o.write_window, s->block_size));
  o.acked = 0;  // the client's window starts after this block
  o.gap_answered = UINT32_MAX;
  if (s->option_flags)
    send_oack(s);
  else
    send_ack(s->block, s->data_socket);
  start_session_timeout(s);
  return RESULT_RUNNING;
}

int write_deadline(tftp_session* s) {
  transfer_own& o = s->own;
  if (o.tries > o.retransmit) return RESULT_TIMEOUT;
  o.tries++;
  if (s->block == 0 && s->option_flags)
    send_oack(s);
  else
    send_ack(s->block & 0xFFFFu, s->data_socket);
  o.acked = s->block;
  start_session_timeout(s);
  return RESULT_RUNNING;
}

int write_stopped(tftp_session* s) {
  log_line(2, 0, " TFTP  upload stopped on block %u\n", s->block.load() + 1);
  return RESULT_FAILED;
}

int write_datagram(tftp_session* s, const uint8_t* packet, size_t n) {
  transfer_own& o = s->own;
  size_t full_packet = static_cast<size_t>(s->block_size) + 4;
  if (n < 4) return RESULT_RUNNING;  // a runt says nothing, whoever sent it
  unsigned opcode = get_u16(packet);
  if (opcode == OPCODE_ERROR) {
    take_error_text(s, packet, n < full_packet + 4 ? n : full_packet + 4);
    return RESULT_ABORTED;
  }
  if (opcode != OPCODE_DATA) return RESULT_RUNNING;
  if (n > full_packet) return refuse_upload(s, TFTP_ERROR_ILLEGAL, MSG_BAD_PACKET, "block larger than the block size");

  uint32_t d = get_u16(packet + 2);
  log_line(3, 0, " TFTP  received block %u, %u bytes\n", d, static_cast<unsigned>(n));
  uint32_t block = s->block;
  uint32_t expected = (block + 1) & 0xFFFFu;
  int is_short = n < full_packet;
  if (d == expected) {
    size_t payload = n - 4;
    if (!store_payload(s, packet + 4, payload, is_short))
      return refuse_upload(s, TFTP_ERROR_DISK_FULL, MSG_DISK_FULL, error_texts[MSG_DISK_FULL]);
    o.written += payload;
    s->block = block + 1;
    note_progress(s);
    if (is_short) {
      int result = RESULT_OK;
      if (!put_upload_in_place(s, &result)) return result;
      send_ack(d, s->data_socket);
      s->file_size = o.written;
      return RESULT_OK;
    }
    // Every window-th block is acknowledged (each block without a window).
    if (s->block - o.acked >= o.write_window) {
      send_ack(d, s->data_socket);
      o.acked = s->block;
    }
    o.tries = 0;
    start_session_timeout(s);
  } else if (o.write_window > 1) {
    // A block out of order, or one we have: the client learns at once
    // where its window must start again, once for each place.
    if (o.gap_answered != block) {
      send_ack(block & 0xFFFFu, s->data_socket);
      o.acked = block;
      o.gap_answered = block;
    }
  } else if (d < expected) {
    send_ack(d, s->data_socket);
  } else if (block + 1 > 65535 && expected < 32768 && d >= 32768) {
    send_ack(d, s->data_socket);  // an old block from before the last wrap
  }
  // Only the block just written ends the upload: a short block from the
  // future would otherwise truncate the file. Old and future blocks do not
  // move the deadline either.
  return RESULT_RUNNING;
}
