// A read: the OACK and its ACK, then block after block, each sent when the
// client acknowledges the one before. With WindowSize set (and no windowsize
// option) the next block goes out beside the current one, so a client that
// acknowledges at once never waits for the disk.
#include "core/read_transfer.h"

#include <cerrno>
#include <new>

#include "core/ack_packet.h"
#include "core/block_loading.h"
#include "core/clock.h"
#include "core/multicast.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "core/window_read.h"
#include "platform/udp_socket.h"

static void log_ack_timeout(const tftp_session* s) { log_line(2, 0, " TFTP  ack timeout %u\n", s->block.load()); }

// Sends one DATA packet: a master to its group, everyone else to its own
// client. The data socket is connected to the client, and Linux still lets
// sendto address the group through it.
static int send_block(tftp_session* s, const uint8_t* buffer, int length) {
  size_t size = static_cast<size_t>(length) + 4;
  long sent;
  if ((s->option_flags & OPT_MULTICAST) && s->multicast_master.load() == 1) {
    sent = send_datagram_to(s->data_socket, buffer, size, ipv4_address(s->multicast_ip), network_port(s->multicast_port));
  } else {
    sent = send_datagram(s->data_socket, buffer, size);
  }
  if (sent < 0) {
    log_line(1, 1, " TFTP  sent block %u %d failed\n", s->block.load(), length);
    return -1;
  }
  log_line(3, 0, " TFTP  sent block %u %d\n", s->block.load(), length);
  return static_cast<int>(sent);
}

// What an ACK of the lockstep phases says: ACK_TAKEN when it moves the read
// (block updated), ACK_NONE when it is passed over, ACK_FAILED when it lies
// beyond the end, ACK_MEMBER_HAS_ALL from a member that holds the file.
static int take_ack(tftp_session* s, uint32_t number) {
  uint32_t block = s->block.load(std::memory_order_relaxed);
  uint32_t a;
  if (s->option_flags & OPT_MULTICAST) {
    // A multicast client may name any block: the stream goes on from there.
    s->block = number;
    a = number;
  } else if (number == (block & 0xFFFFu)) {
    a = block;
  } else {
    log_line(2, 0, " TFTP  ack ignored %u, %u\n", number, block);
    return ACK_NONE;
  }
  log_line(3, 0, " received ack %u\n", a);
  uint64_t size = s->file_size.load(std::memory_order_relaxed);
  if ((s->option_flags & OPT_MULTICAST) && !s->multicast_master && static_cast<uint64_t>(a) * s->block_size > size)
    return ACK_MEMBER_HAS_ALL;
  if (a != 0 && static_cast<uint64_t>(a - 1) * s->block_size > size) return ACK_FAILED;
  note_progress(s);
  if (s->multicast_master.load(std::memory_order_relaxed)) note_group_progress(s);
  return ACK_TAKEN;
}

// Loads and sends the next block (and the one after it, when the read
// runs ahead), then waits for its ACK.
static int send_next_block(tftp_session* s) {
  if (server_stop) return RESULT_OK;
  int ahead = s->own.ahead;
  uint32_t block = s->block.load(std::memory_order_relaxed);
  uint32_t index = block_index(block + (ahead ? 1 : 0));
  // Nothing follows a short block (netascii data ends before the file's size).
  int length = ahead && s->next_data_len < s->block_size ? LOAD_BEYOND_END : load_block(s, s->packet, index);
  if (length == LOAD_FAILED) return read_failed(s, index);
  s->data_len = length;  // -1 too: the swap below looks for it
  if (length < 0) {
    if (!ahead) return RESULT_OK;
  } else if (send_block(s, s->packet, length) < 0) {
    return RESULT_FAILED;
  }
  if (s->next_packet) {
    if (ahead) {
      s->packet = s->next_packet.exchange(s->packet);
      s->data_len = s->next_data_len.exchange(s->data_len);
      if (s->next_data_len == -1) s->own.ahead = 0;
    } else {
      s->own.ahead = 1;
      int next = length < s->block_size ? LOAD_BEYOND_END : load_block(s, s->next_packet, block_index(block + 1));
      if (next == LOAD_FAILED) return read_failed(s, block_index(block + 1));
      s->next_data_len = next;
      if (next >= 0 && send_block(s, s->next_packet, next) < 0) return RESULT_FAILED;
    }
  }
  s->block = block + 1;
  s->own.tries = 0;
  start_session_timeout(s);
  return RESULT_RUNNING;
}

// The option phase is over: the data phase begins.
static int begin_data(tftp_session* s) {
  if (s->own.windowed) {
    s->own.state = READ_WINDOW;
    return window_begin(s);
  }
  if (s->option_flags & OPT_MULTICAST) set_multicast_ttl(s);
  s->own.state = READ_BLOCKS;
  s->own.ahead = 0;
  return send_next_block(s);
}

// Another OACK after a time-out, unless the read has sent enough of them.
static int resend_oack(tftp_session* s) {
  if (s->own.tries > s->own.retransmit) return RESULT_TIMEOUT;
  if (server_stop) return RESULT_OK;
  s->own.tries++;
  s->own.state = READ_OPTIONS;
  send_oack(s);
  start_session_timeout(s);
  return RESULT_RUNNING;
}

int read_begin(tftp_session* s) {
  s->own.retransmit = Retransmit;
  // A client that asked for windowsize is served by its rules alone: no
  // second block in flight beside them.
  s->own.windowed = (s->option_flags & OPT_WINDOWSIZE) && prepare_window_read(s);
  if (WindowSize != 0 && !(s->option_flags & OPT_WINDOWSIZE))
    s->next_packet = new (std::nothrow) uint8_t[s->block_size + 8u];
  if (!s->option_flags) return begin_data(s);
  s->own.state = READ_OPTIONS;
  s->own.tries = 0;
  send_oack(s);
  start_session_timeout(s);
  return RESULT_RUNNING;
}

// A waiting member takes its client's ACKs and watches for its promotion.
static int member_slice(tftp_session* s) {
  // A member is as busy as its group: its own client says nothing.
  int64_t group = group_progress_ms(s);
  if (group > s->last_progress_ms.load(std::memory_order_relaxed)) s->last_progress_ms = group;
  if (server_stop || s->multicast_master.load() != 0) return resend_oack(s);
  int64_t now = monotonic_now_ms();
  if (now >= s->own.turn_ms) {
    log_ack_timeout(s);
    s->own.turn_ms = now + s->timeout * 1000;
  }
  uint32_t slice = s->timeout * 1000u < MEMBER_SLICE_MS ? s->timeout * 1000u : MEMBER_SLICE_MS;
  s->own.deadline_ms = now + slice;
  return RESULT_RUNNING;
}

int read_member_wait(tftp_session* s) {
  s->own.state = READ_MEMBER;
  s->own.turn_ms = monotonic_now_ms() + s->timeout * 1000;
  return member_slice(s);
}

int read_datagram(tftp_session* s, const uint8_t* packet, size_t length) {
  if (s->own.state == READ_WINDOW) return window_datagram(s, packet, length);
  uint32_t number;
  int kind = read_ack_packet(s, packet, length, &number);
  if (kind == ACK_ERROR) return RESULT_ABORTED;
  if (kind != ACK_TAKEN) return RESULT_RUNNING;
  uint32_t sent = s->block.load(std::memory_order_relaxed);
  int taken = take_ack(s, number);
  if (taken == ACK_NONE) return RESULT_RUNNING;
  if (taken == ACK_MEMBER_HAS_ALL) return RESULT_OK;
  if (taken == ACK_FAILED && s->own.state != READ_MEMBER)
    log_line(2, 0, " TFTP  ack failure %u\n", static_cast<unsigned>(errno));
  if (s->own.state == READ_BLOCKS) {
    if (taken == ACK_FAILED) return s->data_len == s->block_size ? RESULT_TIMEOUT : RESULT_OK;
    // A multicast client may name any block; the block sent ahead is then
    // not the one that follows.
    if (s->block.load(std::memory_order_relaxed) != sent) s->own.ahead = 0;
    if (s->data_len < s->block_size) return RESULT_OK;
    return send_next_block(s);
  }
  if (taken == ACK_FAILED) return RESULT_TIMEOUT;
  // A member's ACK is only noted; its promotion moves it on.
  if (s->own.state == READ_MEMBER) return RESULT_RUNNING;
  return begin_data(s);
}

int read_datagrams_taken(tftp_session* s) {
  return s->own.state == READ_WINDOW ? window_datagrams_taken(s) : RESULT_RUNNING;
}

int read_deadline(tftp_session* s) {
  switch (s->own.state) {
    case READ_WINDOW:
      return window_deadline(s);
    case READ_MEMBER:
      return member_slice(s);
    case READ_OPTIONS:
      log_ack_timeout(s);
      // A plain member waits for the stream; once promoted it counts one
      // more OACK, now with the master flag.
      if ((s->option_flags & OPT_MULTICAST) && s->multicast_master.load() == 0) return read_member_wait(s);
      log_ack_timeout(s);
      return resend_oack(s);
    default:
      break;
  }
  // Traced twice, by the wait and by the step, as the log has always shown it.
  log_ack_timeout(s);
  log_ack_timeout(s);
  if (s->own.tries > s->own.retransmit) return s->data_len == s->block_size ? RESULT_TIMEOUT : RESULT_OK;
  if (server_stop) return RESULT_OK;
  if (send_block(s, s->packet, s->data_len < 0 ? 0 : s->data_len.load()) < 0) return RESULT_FAILED;
  s->own.ahead = 0;
  s->own.tries++;
  start_session_timeout(s);
  return RESULT_RUNNING;
}

int read_receive_failed(tftp_session* s) {
  if (s->own.state == READ_OPTIONS || s->own.state == READ_BLOCKS)
    log_line(2, 0, " TFTP  ack failure %u\n", static_cast<unsigned>(errno));
  if (s->own.state == READ_WINDOW) return window_receive_failed(s);
  // The client may hold the whole file when only its last ACK is missing.
  if (s->own.state == READ_BLOCKS) return s->data_len == s->block_size ? RESULT_TIMEOUT : RESULT_OK;
  return RESULT_TIMEOUT;
}
