#include <cerrno>
#include <cstring>
#include <new>

#include "core/ack_wait.h"
#include "core/block_loading.h"
#include "core/clock.h"
#include "core/data_socket.h"
#include "core/multicast.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/transfer.h"
#include "core/transfer_log.h"
#include "platform/udp_socket.h"

// A waiting member listens in slices this long, so that a promotion is
// answered at once rather than up to a timeout later.
constexpr uint32_t MEMBER_SLICE_MS = 100;

// Sends one DATA packet: a master to its group, everyone else to its own
// client. The data socket is connected to the client, and Linux still lets
// sendto address the group through it.
static int send_block(tftp_session* s, const uint8_t* buffer, int length) {
  size_t size = static_cast<size_t>(length) + 4;
  long sent;
  if ((s->option_flags & OPT_MULTICAST) && s->multicast_master.load() == 1) {
    sent = send_datagram_to(s->data_socket, buffer, size, s->multicast_ip, network_port(s->multicast_port));
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

// wait_for_ack without the trace lines of a time-out or failure.
static int receive_ack(tftp_session* s, packet_wait* wait) {
  for (;;) {
    uint32_t number;
    int taken = next_ack_packet(s, wait, &number);
    if (taken != ACK_TAKEN) return taken;
    uint32_t block = s->block.load(std::memory_order_relaxed);
    uint32_t a;
    if (s->option_flags & OPT_MULTICAST) {
      s->block = number;
      a = number;
    } else if (number == (block & 0xFFFFu)) {
      a = block;
    } else {
      log_line(2, 0, " TFTP  ack ignored %u, %u\n", number, block);
      continue;
    }
    log_line(3, 0, " received ack %u\n", a);
    uint64_t size = s->file_size.load(std::memory_order_relaxed);
    if ((s->option_flags & OPT_MULTICAST) && !s->multicast_master &&
        static_cast<uint64_t>(a) * s->block_size > size)
      return ACK_MEMBER_HAS_ALL;
    if (a != 0 && static_cast<uint64_t>(a - 1) * s->block_size > size) return ACK_FAILED;
    note_progress(s);
    if (s->multicast_master.load(std::memory_order_relaxed)) note_group_progress(s);
    return ACK_TAKEN;
  }
}

int wait_for_ack(tftp_session* s, packet_wait* wait) {
  int r = receive_ack(s, wait);
  if (r == ACK_NONE) log_line(2, 0, " TFTP  ack timeout %u\n", s->block.load());
  if (r == ACK_FAILED) log_line(2, 0, " TFTP  ack failure %u\n", static_cast<unsigned>(errno));
  return r;
}

int wait_as_member(tftp_session* s) {
  uint32_t timeout_ms = s->timeout * 1000u;
  uint32_t slice_ms = timeout_ms < MEMBER_SLICE_MS ? timeout_ms : MEMBER_SLICE_MS;
  packet_wait turn;
  start_wait(&turn, timeout_ms);
  while (!server_stop && s->multicast_master.load() == 0) {
    // A member is as busy as its group: its own client says nothing.
    int64_t group = group_progress_ms(s);
    if (group > s->last_progress_ms.load(std::memory_order_relaxed)) s->last_progress_ms = group;
    packet_wait slice;
    start_wait(&slice, slice_ms);
    int r = receive_ack(s, &slice);
    if (r == ACK_FAILED) return RESULT_TIMEOUT;
    if (r == ACK_ERROR) return RESULT_ABORTED;
    if (r == ACK_MEMBER_HAS_ALL) return RESULT_OK;
    if (r == ACK_NONE && wait_expired(&turn)) {
      log_line(2, 0, " TFTP  ack timeout %u\n", s->block.load());
      start_wait(&turn, timeout_ms);
    }
  }
  return RESULT_RUNNING;
}

static int option_phase(tftp_session* s) {
  for (uint32_t c = 0;; c++) {
    send_oack(s);
    packet_wait wait;
    start_wait(&wait, s->timeout * 1000u);
    int r = wait_for_ack(s, &wait);
    if (r == ACK_TAKEN) return RESULT_RUNNING;
    if (r == ACK_ERROR) return RESULT_ABORTED;
    if (r == ACK_MEMBER_HAS_ALL) return RESULT_OK;
    if (r == ACK_FAILED) return RESULT_TIMEOUT;
    if ((s->option_flags & OPT_MULTICAST) && s->multicast_master.load() == 0) {
      // A plain member waits for the stream; once promoted it counts one
      // more OACK, now with the master flag.
      r = wait_as_member(s);
      if (r != RESULT_RUNNING) return r;
    } else {
      log_line(2, 0, " TFTP  ack timeout %u\n", s->block.load());
    }
    if (c > Retransmit) return RESULT_TIMEOUT;
    if (server_stop) return RESULT_OK;
  }
}

int run_read_transfer(tftp_session* s) {
  // A client that asked for windowsize is served by its rules alone: no
  // second block in flight beside them.
  int windowed = (s->option_flags & OPT_WINDOWSIZE) && prepare_window_read(s);
  if (WindowSize != 0 && !(s->option_flags & OPT_WINDOWSIZE))
    s->next_packet = new (std::nothrow) uint8_t[s->block_size + 8u];
  if (s->option_flags) {
    int r = option_phase(s);
    if (r != RESULT_RUNNING) return r;
  }
  if (windowed) return run_window_read(s);
  if (s->option_flags & OPT_MULTICAST) set_multicast_ttl(s);
  uint32_t retransmit = Retransmit;
  int ahead = 0;
  while (!server_stop) {
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
        if (s->next_data_len == -1) ahead = 0;
      } else {
        ahead = 1;
        int next = length < s->block_size ? LOAD_BEYOND_END : load_block(s, s->next_packet, block_index(block + 1));
        if (next == LOAD_FAILED) return read_failed(s, block_index(block + 1));
        s->next_data_len = next;
        if (next >= 0 && send_block(s, s->next_packet, next) < 0) return RESULT_FAILED;
      }
    }
    s->block = block + 1;
    for (uint32_t k = 0;; k++) {
      // One deadline per sending: wrong ACKs cannot put the resend off.
      packet_wait wait;
      start_wait(&wait, s->timeout * 1000u);
      int r = wait_for_ack(s, &wait);
      if (r == ACK_TAKEN) {
        // A multicast client may name any block; the block sent ahead is
        // then not the one that follows.
        if (s->block.load(std::memory_order_relaxed) != block + 1) ahead = 0;
        break;
      }
      if (r == ACK_ERROR) return RESULT_ABORTED;
      if (r == ACK_NONE) log_line(2, 0, " TFTP  ack timeout %u\n", s->block.load());
      if (s->evicted) return RESULT_TIMEOUT;
      if (r == ACK_FAILED || k > retransmit) return s->data_len == s->block_size ? RESULT_TIMEOUT : RESULT_OK;
      if (server_stop) return RESULT_OK;
      if (send_block(s, s->packet, s->data_len < 0 ? 0 : s->data_len.load()) < 0) return RESULT_FAILED;
      ahead = 0;
    }
    if (s->data_len < s->block_size) return RESULT_OK;
  }
  return RESULT_OK;
}
