// Reads with the windowsize option (RFC 7440): a window of blocks leaves in
// a few system calls, straight from the mapped view or from the file; the
// client acknowledges the last block of each window, and an ACK of any
// block in the window moves the window on past it, so that a client that
// missed a block says so at once and the window starts again there.
#include "core/window_read.h"

#include <cerrno>
#include <new>

#include "core/ack_packet.h"
#include "core/block_loading.h"
#include "core/file_views.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "platform/file_open.h"
#include "platform/udp_socket.h"

// A window goes out in batches of at most this much payload (and at most
// DATAGRAM_BATCH_MAX datagrams), so memory stays bounded whatever window
// and block size a client asks for.
constexpr size_t BATCH_BYTES = 256 * 1024;

struct window_buffers {
  int capacity;      // blocks per batch
  uint8_t* bodies;   // octet from the stream: capacity payloads read at once
  uint8_t* packets;  // netascii: capacity DATA packets of block_size + 4
  uint8_t headers[DATAGRAM_BATCH_MAX][4];
  datagram_piece pieces[DATAGRAM_BATCH_MAX];
};

void release_window_read(tftp_session* s) {
  window_buffers* w = s->own.window;
  s->own.window = nullptr;
  if (w) {
    delete[] w->bodies;
    delete[] w->packets;
    delete w;
  }
  delete[] s->own.text.window_start;
  delete[] s->own.text.window_index;
  s->own.text.window_start = nullptr;
  s->own.text.window_index = nullptr;
}

int prepare_window_read(tftp_session* s) {
  if (s->window_size < 2) return 0;
  size_t packet = s->block_size + 4u;
  size_t capacity = BATCH_BYTES / packet;
  if (capacity > DATAGRAM_BATCH_MAX) capacity = DATAGRAM_BATCH_MAX;
  if (capacity > s->window_size) capacity = s->window_size;
  if (capacity < 1) capacity = 1;
  window_buffers* w = new (std::nothrow) window_buffers{};
  s->own.window = w;
  int ok = w != nullptr;
  if (ok) {
    w->capacity = static_cast<int>(capacity);
    if (s->mode == MODE_NETASCII) {
      w->packets = new (std::nothrow) uint8_t[capacity * packet];
      s->own.text.window_start = new (std::nothrow) int64_t[s->window_size];
      s->own.text.window_index = new (std::nothrow) uint32_t[s->window_size];
      ok = w->packets && s->own.text.window_start && s->own.text.window_index;
      if (ok) {
        s->own.text.window_slots = s->window_size;
        for (uint32_t i = 0; i < s->window_size; i++) s->own.text.window_start[i] = -1;
      }
    } else {
      // Mapped reads send from the view; the bodies are then only a scratch
      // block to tell a view cut short.
      w->bodies = new (std::nothrow) uint8_t[capacity * s->block_size];
      ok = w->bodies != nullptr;
    }
  }
  if (!ok) {
    // Short of memory: the OACK offers the lockstep window of 1 instead.
    release_window_read(s);
    s->window_size = 1;
    return 0;
  }
  size_socket_buffers(s->data_socket, window_socket_bytes(s->window_size, s->block_size), 0);
  return 1;
}

// Puts blocks first .. first + count - 1 into the batch, stopping after a
// short block (the last of the file, whose number goes to *final_block).
// Returns the number of blocks loaded, or -1 when the file cannot be read.
static int load_batch(tftp_session* s, window_buffers* w, uint32_t first, int count, uint32_t* final_block) {
  uint16_t block_size = s->block_size;
  if (s->mode == MODE_NETASCII) {
    for (int i = 0; i < count; i++) {
      uint8_t* packet = w->packets + static_cast<size_t>(i) * (block_size + 4u);
      int length = load_block(s, packet, block_index(first + i - 1));
      if (length < 0) return -1;
      s->data_len = length;
      w->pieces[i] = datagram_piece{packet, 4, packet + 4, static_cast<size_t>(length)};
      if (length < block_size) {
        *final_block = first + i;
        return i + 1;
      }
    }
    return count;
  }
  // Exactly the size the file had when it was opened (and the OACK told).
  uint64_t size = s->file_size.load(std::memory_order_relaxed);
  uint64_t start = static_cast<uint64_t>(block_index(first - 1)) * block_size;
  if (start > size) return -1;  // never after a short block: stopped there
  size_t total = 0;
  int loaded = 0;
  while (loaded < count) {
    uint64_t offset = start + static_cast<uint64_t>(loaded) * block_size;
    uint64_t left = size - offset;
    size_t length = left < block_size ? static_cast<size_t>(left) : block_size;
    uint32_t number = first + static_cast<uint32_t>(loaded);
    uint8_t* header = w->headers[loaded];
    header[0] = 0;
    header[1] = OPCODE_DATA;
    header[2] = static_cast<uint8_t>(number >> 8);
    header[3] = static_cast<uint8_t>(number);
    const uint8_t* body = s->shared ? s->view + offset : w->bodies + total;
    if (s->shared)
      log_line(4, 0, " TFTP  load offset %llu/%llu %u %d\n", static_cast<unsigned long long>(offset),
               static_cast<unsigned long long>(size), number - 1, static_cast<int>(length));
    w->pieces[loaded++] = datagram_piece{header, 4, body, length};
    total += length;
    if (length < block_size) {
      *final_block = number;
      break;
    }
  }
  if (!s->shared && total > 0) {
    // One read for the whole batch, straight into the payloads; a file cut
    // short since it was opened is an error.
    long got = read_file_at(fileno(s->file), start, w->bodies, total);
    if (got != static_cast<long>(total)) return -1;
  }
  s->seek_block = block_index(first + static_cast<uint32_t>(loaded) - 2);
  return loaded;
}

// Sends blocks first .. last (fewer when the file ends before), batch by
// batch; *sent_end becomes the last block sent. Returns RESULT_RUNNING to
// go on, or the transfer's RESULT_ value.
static int send_window(tftp_session* s, uint32_t first, uint32_t last, uint32_t* final_block, uint32_t* sent_end) {
  window_buffers* w = s->own.window;
  *sent_end = first - 1;
  for (uint32_t b = first; b <= last;) {
    uint32_t count = last - b + 1;
    if (count > static_cast<uint32_t>(w->capacity)) count = static_cast<uint32_t>(w->capacity);
    // With LargeFiles 0 the data starts again at offset 0 after index
    // 65535: a batch reads one stretch of the file.
    if (LargeFiles == 0 && count > 65536u - ((b - 1) & 0xFFFFu)) count = 65536u - ((b - 1) & 0xFFFFu);
    int loaded = load_batch(s, w, b, static_cast<int>(count), final_block);
    if (loaded < 0) return read_failed(s, block_index(b - 1));
    int sent = send_datagrams(s->data_socket, w->pieces, loaded);
    if (sent < loaded) {
      int error = socket_error();
      int failed = sent < 0 ? 0 : sent;
      const datagram_piece& piece = w->pieces[failed];
      // A view whose file was cut short cannot be read by the kernel
      // either; the copy confirms it and marks the view.
      if (s->shared && error == EFAULT &&
          !copy_from_view(s, static_cast<uint64_t>(block_index(b + failed - 1)) * s->block_size, w->bodies,
                          piece.body_size))
        return read_failed(s, block_index(b + failed - 1));
      log_line(1, 1, " TFTP  sent block %u %d failed\n", b + failed - 1, static_cast<int>(piece.body_size));
      return RESULT_FAILED;
    }
    if (Log >= 3)
      for (int i = 0; i < loaded; i++)
        log_line(3, 0, " TFTP  sent block %u %d\n", b + i - 1, static_cast<int>(w->pieces[i].body_size));
    *sent_end = b + static_cast<uint32_t>(loaded) - 1;
    if (*final_block != 0 && *sent_end == *final_block) break;
    b += static_cast<uint32_t>(loaded);
  }
  return RESULT_RUNNING;
}

// The next window goes out from the first block not acknowledged.
static int send_next_window(tftp_session* s) {
  if (server_stop) return RESULT_OK;
  uint32_t last = s->own.acked + s->window_size;
  if (s->own.final_block != 0 && last > s->own.final_block) last = s->own.final_block;
  int r = send_window(s, s->own.acked + 1, last, &s->own.final_block, &s->own.sent_end);
  if (r != RESULT_RUNNING) return r;
  s->own.tries = 0;
  s->own.best = s->own.acked;
  start_session_timeout(s);
  return RESULT_RUNNING;
}

// Only the short last block unacknowledged: the client has it all but our
// word that it has.
static int window_given_up(const tftp_session* s) {
  const transfer_own& o = s->own;
  return o.final_block != 0 && o.sent_end == o.final_block && o.acked + 1 == o.final_block ? RESULT_OK
                                                                                          : RESULT_TIMEOUT;
}

int window_receive_failed(tftp_session* s) { return window_given_up(s); }

int window_begin(tftp_session* s) {
  s->own.acked = s->block.load(std::memory_order_relaxed);
  s->own.final_block = 0;
  return send_next_window(s);
}

// Duplicates and strays are passed over and never answered; of the ACKs
// that arrived together the furthest counts.
int window_datagram(tftp_session* s, const uint8_t* packet, size_t length) {
  uint32_t number;
  int kind = read_ack_packet(s, packet, length, &number);
  if (kind == ACK_ERROR) return RESULT_ABORTED;
  if (kind != ACK_TAKEN) return RESULT_RUNNING;
  uint32_t k = acknowledged_block(s->own.acked, number);
  if (k <= s->own.best || k > s->own.sent_end)
    log_line(2, 0, " TFTP  ack ignored %u, %u\n", number, s->own.sent_end & 0xFFFFu);
  else
    s->own.best = k;
  return RESULT_RUNNING;
}

int window_datagrams_taken(tftp_session* s) {
  uint32_t best = s->own.best;
  if (best == s->own.acked) return RESULT_RUNNING;
  log_line(3, 0, " received ack %u\n", best);
  if (static_cast<uint64_t>(best - 1) * s->block_size > s->file_size.load(std::memory_order_relaxed))
    return window_given_up(s);
  s->block = best;
  note_progress(s);
  s->own.acked = best;
  if (s->own.final_block != 0 && best == s->own.final_block) return RESULT_OK;
  return send_next_window(s);
}

// A time-out resends two blocks, never the window: the first one the client
// has not acknowledged and the last one sent. So a peer that has stopped
// acknowledging (or the victim of a forged request and one forged ACK 0)
// gets one window and then two blocks a time-out, about what a lockstep
// server resends. The two are the probes every RFC 7440 receiver answers:
// one that answers any block out of order says where it stands, one that
// lost the block it needs gets it, and one that answers only a complete
// window gets the block that completes it. A smaller window after the
// time-out would stall receivers of the last kind, which acknowledge only
// a full window; the full window resumes after an ACK.
int window_deadline(tftp_session* s) {
  transfer_own& o = s->own;
  log_line(2, 0, " TFTP  ack timeout %u\n", o.sent_end);
  if (o.tries > o.retransmit) return window_given_up(s);
  if (server_stop) return RESULT_OK;
  uint32_t probe_end;
  int r = send_window(s, o.acked + 1, o.acked + 1, &o.final_block, &probe_end);
  if (r == RESULT_RUNNING && o.sent_end > o.acked + 1) r = send_window(s, o.sent_end, o.sent_end, &o.final_block, &probe_end);
  if (r != RESULT_RUNNING) return r;
  o.tries++;
  o.best = o.acked;
  start_session_timeout(s);
  return RESULT_RUNNING;
}
