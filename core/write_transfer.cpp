#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/data_socket.h"
#include "core/netascii.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/transfer.h"
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
// the worker releases it, so the name keeps what it had.
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

int run_write_transfer(tftp_session* s) {
  uint32_t retransmit = Retransmit;
  uint32_t retries = 0;
  uint64_t written = 0;
  size_t full_packet = static_cast<size_t>(s->block_size) + 4;
  // With a window the client sends that many blocks before it waits for
  // our ACK; a window of 1 is the usual lockstep.
  uint32_t window = (s->option_flags & OPT_WINDOWSIZE) ? s->window_size : 1;
  if (window > 1) size_socket_buffers(s->data_socket, 0, window_socket_bytes(window, s->block_size));
  uint32_t acked = 0;                 // the client's window starts after this block
  uint32_t gap_answered = UINT32_MAX;  // the block a gap was last answered with
  if (s->option_flags)
    send_oack(s);
  else
    send_ack(s->block, s->data_socket);

  packet_wait wait;
  start_wait(&wait, s->timeout * 1000u);
  int completed = 0;
  while (!server_stop) {
    // The buffer holds block_size + 8 bytes and is received into whole; the
    // full length is reported, so an oversized packet shows.
    long n = receive_before(s, &wait, s->packet, full_packet + 4);
    if (n == RECEIVE_TIMEOUT) {
      if (retries > retransmit) return RESULT_TIMEOUT;
      retries++;
      if (s->block == 0 && s->option_flags)
        send_oack(s);
      else
        send_ack(s->block & 0xFFFFu, s->data_socket);
      acked = s->block;
      start_wait(&wait, s->timeout * 1000u);
      continue;
    }
    if (n == RECEIVE_EVICTED) {
      log_line(2, 0, " TFTP  silent client, slot taken over\n");
      return RESULT_TIMEOUT;
    }
    if (n < 0) {
      log_line(2, 0, " TFTP  receive error %d on block %u\n", errno, s->block.load() + 1);
      return RESULT_FAILED;
    }
    if (n < 4) continue;  // a runt says nothing, whoever sent it
    unsigned opcode = static_cast<unsigned>(s->packet[0] << 8 | s->packet[1]);
    if (opcode == OPCODE_ERROR) {
      take_error_text(s, s->packet, static_cast<size_t>(n) < full_packet + 4 ? static_cast<size_t>(n) : full_packet + 4);
      return RESULT_ABORTED;
    }
    if (opcode != OPCODE_DATA) continue;
    if (static_cast<size_t>(n) > full_packet)
      return refuse_upload(s, TFTP_ERROR_ILLEGAL, MSG_BAD_PACKET, "block larger than the block size");

    uint32_t d = static_cast<uint32_t>(s->packet[2] << 8 | s->packet[3]);
    log_line(3, 0, " TFTP  received block %u, %u bytes\n", d, static_cast<unsigned>(n));
    uint32_t block = s->block;
    uint32_t expected = (block + 1) & 0xFFFFu;
    int is_short = static_cast<size_t>(n) < full_packet;
    if (d == expected) {
      size_t payload = static_cast<size_t>(n) - 4;
      if (!store_payload(s, s->packet + 4, payload, is_short))
        return refuse_upload(s, TFTP_ERROR_DISK_FULL, MSG_DISK_FULL, error_texts[MSG_DISK_FULL]);
      written += payload;
      s->block = block + 1;
      note_progress(s);
      if (is_short) {
        int result = RESULT_OK;
        if (!put_upload_in_place(s, &result)) return result;
        send_ack(d, s->data_socket);
        completed = 1;
        break;
      }
      // Every window-th block is acknowledged (each block without a window).
      if (s->block - acked >= window) {
        send_ack(d, s->data_socket);
        acked = s->block;
      }
      retries = 0;
      start_wait(&wait, s->timeout * 1000u);
    } else if (window > 1) {
      // A block out of order, or one we have: the client learns at once
      // where its window must start again, once for each place.
      if (gap_answered != block) {
        send_ack(block & 0xFFFFu, s->data_socket);
        acked = block;
        gap_answered = block;
      }
    } else if (d < expected) {
      send_ack(d, s->data_socket);
    } else if (block + 1 > 65535 && expected < 32768 && d >= 32768) {
      send_ack(d, s->data_socket);  // an old block from before the last wrap
    }
    // Only the block just written ends the upload: a short block from the
    // future would otherwise truncate the file. Old and future blocks do not
    // move the deadline either.
  }
  if (!completed) {
    // Stopped before the last block: the new file is dropped and the name
    // keeps what it had, so this is no completed upload.
    log_line(2, 0, " TFTP  upload stopped on block %u\n", s->block.load() + 1);
    return RESULT_FAILED;
  }
  s->file_size = written;
  return RESULT_OK;
}
