#include <cerrno>
#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/data_socket.h"
#include "core/file_views.h"
#include "core/multicast.h"
#include "core/netascii.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/transfer.h"
#include "core/transfer_log.h"
#include "platform/udp_socket.h"

constexpr size_t ACK_BUFFER_SIZE = 256;
// A waiting member listens in slices this long, so that a promotion is
// answered at once rather than up to a timeout later.
constexpr uint32_t MEMBER_SLICE_MS = 100;

// Netascii: remembers where block `index` began on disk.
static void remember_text_block(tftp_session* s, uint32_t index, int64_t offset) {
  int slot = static_cast<int>(index % NETASCII_RECENT);
  s->text.block_index[slot] = index;
  s->text.block_start[slot] = offset;
}

// Netascii: positions the stream at the start of translated block `index`.
// Blocks sent again come from the recent table; anything else is found by
// translating from the start of the file. Returns 1, or 0 on a read error.
static int seek_text_block(tftp_session* s, uint32_t index) {
  int slot = static_cast<int>(index % NETASCII_RECENT);
  if (s->text.block_start[slot] >= 0 && s->text.block_index[slot] == index) {
    s->text.ended = 0;
    return fseeko(s->file, s->text.block_start[slot], SEEK_SET) == 0;
  }
  if (fseeko(s->file, 0, SEEK_SET) != 0) return 0;
  s->text.ended = 0;
  uint8_t scratch[4096];
  uint64_t skip = static_cast<uint64_t>(index) * s->block_size;
  while (skip > 0) {
    size_t want = skip < sizeof scratch ? static_cast<size_t>(skip) : sizeof scratch;
    size_t got = netascii_read(s->file, scratch, want, &s->text.ended);
    if (got == 0) break;
    skip -= got;
  }
  return !ferror(s->file);
}

int load_block(tftp_session* s, uint8_t* buffer, uint32_t index) {
  buffer[0] = 0;
  buffer[1] = OPCODE_DATA;
  buffer[2] = static_cast<uint8_t>((index + 1) >> 8);
  buffer[3] = static_cast<uint8_t>(index + 1);
  uint64_t offset = static_cast<uint64_t>(index) * s->block_size;
  uint64_t size = s->file_size.load(std::memory_order_relaxed);
  int length;
  if (s->mode == MODE_NETASCII) {
    // The translated data ends before the size on disk: the stream says where.
    if (index != s->seek_block + 1 && !seek_text_block(s, index)) return LOAD_FAILED;
    remember_text_block(s, index, ftello(s->file));
    length = static_cast<int>(netascii_read(s->file, buffer + 4, s->block_size, &s->text.ended));
    if (ferror(s->file)) return LOAD_FAILED;
    s->seek_block = index;
  } else if (offset > size) {
    return LOAD_BEYOND_END;
  } else {
    // Exactly the size the file had when it was opened (and the OACK told):
    // a file that shrinks since is an error, one that grows is cut there.
    uint64_t left = size - offset;
    length = left < s->block_size ? static_cast<int>(left) : s->block_size;
    if (s->shared) {
      log_line(4, 0, " TFTP  load offset %llu/%llu %u %d\n", static_cast<unsigned long long>(offset),
               static_cast<unsigned long long>(size), index, length);
      if (!copy_from_view(s, offset, buffer + 4, static_cast<size_t>(length))) return LOAD_FAILED;
    } else if (length > 0) {
      if (index != s->seek_block + 1 && fseeko(s->file, static_cast<off_t>(offset), SEEK_SET) != 0)
        return LOAD_FAILED;
      if (fread(buffer + 4, 1, static_cast<size_t>(length), s->file) != static_cast<size_t>(length))
        return LOAD_FAILED;
    }
    s->seek_block = index;
  }
  s->data_len = length;
  return length;
}

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
  uint8_t packet[ACK_BUFFER_SIZE];
  for (;;) {
    long n = receive_before(s, wait, packet, sizeof packet);
    if (n == RECEIVE_TIMEOUT) return 0;
    if (n == RECEIVE_EVICTED) {
      log_line(2, 0, " TFTP  silent client, slot taken over\n");
      return -1;
    }
    if (n < 0) return -1;
    if (n < 4 || static_cast<size_t>(n) > sizeof packet) continue;
    unsigned opcode = static_cast<unsigned>(packet[0] << 8 | packet[1]);
    if (opcode == OPCODE_ERROR) {
      take_error_text(s, packet, static_cast<size_t>(n));
      log_line(2, 0, " TFTP  error %s\n", s->error_text);
      return 2;
    }
    if (opcode != OPCODE_ACK) continue;
    uint32_t number = static_cast<uint32_t>(packet[2] << 8 | packet[3]);
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
      return 3;
    if (a != 0 && static_cast<uint64_t>(a - 1) * s->block_size > size) return -1;
    note_progress(s);
    if (s->multicast_master.load(std::memory_order_relaxed)) note_group_progress(s);
    return 1;
  }
}

int wait_for_ack(tftp_session* s, packet_wait* wait) {
  int r = receive_ack(s, wait);
  if (r == 0) log_line(2, 0, " TFTP  ack timeout %u\n", s->block.load());
  if (r < 0) log_line(2, 0, " TFTP  ack failure %u\n", static_cast<unsigned>(errno));
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
    if (r < 0) return RESULT_TIMEOUT;
    if (r == 2) return RESULT_ABORTED;
    if (r == 3) return RESULT_OK;
    if (r == 0 && wait_expired(&turn)) {
      log_line(2, 0, " TFTP  ack timeout %u\n", s->block.load());
      start_wait(&turn, timeout_ms);
    }
  }
  return -1;
}

static uint32_t block_index(uint32_t index) { return LargeFiles != 0 ? index : (index & 0xFFFFu); }

static int option_phase(tftp_session* s) {
  for (uint32_t c = 0;; c++) {
    send_oack(s);
    packet_wait wait;
    start_wait(&wait, s->timeout * 1000u);
    int r = wait_for_ack(s, &wait);
    if (r == 1) return -1;
    if (r == 2) return RESULT_ABORTED;
    if (r == 3) return RESULT_OK;
    if (r < 0) return RESULT_TIMEOUT;
    if ((s->option_flags & OPT_MULTICAST) && s->multicast_master.load() == 0) {
      // A plain member waits for the stream; once promoted it counts one
      // more OACK, now with the master flag.
      r = wait_as_member(s);
      if (r >= 0) return r;
    } else {
      log_line(2, 0, " TFTP  ack timeout %u\n", s->block.load());
    }
    if (c > Retransmit) return RESULT_TIMEOUT;
    if (server_stop) return RESULT_OK;
  }
}

// Ends a transfer whose file cannot be read: the client is told, not left
// with a short file that looks complete.
static int read_failed(tftp_session* s, uint32_t index) {
  send_session_error(s, TFTP_ERROR_UNDEFINED, MSG_UNSPECIFIED);
  set_error_text(s, "%u %s", TFTP_ERROR_UNDEFINED, error_texts[MSG_UNSPECIFIED]);
  log_line(1, 1, " TFTP  read failed on block %u\n", index + 1);
  return RESULT_FAILED;
}

int run_read_transfer(tftp_session* s) {
  if (WindowSize != 0) s->next_packet = new (std::nothrow) uint8_t[s->block_size + 8u];
  if (s->option_flags) {
    int r = option_phase(s);
    if (r >= 0) return r;
  }
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
        // load_block stored its length in data_len; that belongs to packet.
        s->data_len = length;
        if (next >= 0 && send_block(s, s->next_packet, next) < 0) return RESULT_FAILED;
      }
    }
    s->block = block + 1;
    for (uint32_t k = 0;; k++) {
      // One deadline per sending: wrong ACKs cannot put the resend off.
      packet_wait wait;
      start_wait(&wait, s->timeout * 1000u);
      int r = wait_for_ack(s, &wait);
      if (r == 1) {
        // A multicast client may name any block; the block sent ahead is
        // then not the one that follows.
        if (s->block.load(std::memory_order_relaxed) != block + 1) ahead = 0;
        break;
      }
      if (r == 2) return RESULT_ABORTED;
      if (r == 0) log_line(2, 0, " TFTP  ack timeout %u\n", s->block.load());
      if (s->evicted) return RESULT_TIMEOUT;
      if (r < 0 || k > retransmit) return s->data_len == s->block_size ? RESULT_TIMEOUT : RESULT_OK;
      if (server_stop) return RESULT_OK;
      if (send_block(s, s->packet, s->data_len < 0 ? 0 : s->data_len.load()) < 0) return RESULT_FAILED;
      ahead = 0;
    }
    if (s->data_len < s->block_size) return RESULT_OK;
  }
  return RESULT_OK;
}
