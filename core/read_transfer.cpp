#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "core/multicast.h"
#include "core/netascii.h"
#include "core/packets.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/transfer.h"
#include "core/transfer_log.h"

constexpr size_t ACK_BUFFER_SIZE = 256;

// Netascii: remembers where block `index` began on disk.
static void remember_text_block(tftp_session* s, uint32_t index, int64_t offset) {
  int slot = static_cast<int>(index % NETASCII_RECENT);
  s->text.block_index[slot] = index;
  s->text.block_start[slot] = offset;
}

// Netascii: positions the stream at the start of translated block `index`.
// Blocks sent again come from the recent table; anything else is found by
// translating from the start of the file.
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
  return 1;
}

int load_block(tftp_session* s, uint8_t* buffer, uint32_t index) {
  buffer[0] = 0;
  buffer[1] = OPCODE_DATA;
  buffer[2] = static_cast<uint8_t>((index + 1) >> 8);
  buffer[3] = static_cast<uint8_t>(index + 1);
  uint64_t offset = static_cast<uint64_t>(index) * s->block_size;
  uint64_t size = s->file_size.load(std::memory_order_relaxed);
  int length;
  if (offset == size) {
    length = 0;
  } else if (offset > size) {
    return -1;
  } else if (s->mapped) {
    uint64_t left = size - offset;
    length = left < s->block_size ? static_cast<int>(left) : s->block_size;
    log_line(4, 0, " TFTP  load offset %llu/%llu %u %d\n", static_cast<unsigned long long>(offset),
             static_cast<unsigned long long>(size), index, length);
    memcpy(buffer + 4, s->view + offset, static_cast<size_t>(length));
  } else if (s->mode == MODE_NETASCII) {
    if (index != s->seek_block + 1) seek_text_block(s, index);
    remember_text_block(s, index, ftello(s->file));
    length = static_cast<int>(netascii_read(s->file, buffer + 4, s->block_size, &s->text.ended));
    s->seek_block = index;
  } else {
    if (index != s->seek_block + 1) {
      if (fseeko(s->file, static_cast<off_t>(offset), SEEK_SET) != 0) return -1;
    }
    length = static_cast<int>(fread(buffer + 4, 1, s->block_size, s->file));
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
  ssize_t sent;
  if ((s->option_flags & OPT_MULTICAST) && s->multicast_master.load() == 1) {
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_addr.s_addr = s->multicast_ip;
    group.sin_port = htons(s->multicast_port);
    sent = sendto(s->data_socket, buffer, size, 0, reinterpret_cast<const sockaddr*>(&group), sizeof group);
  } else {
    sent = send(s->data_socket, buffer, size, 0);
  }
  if (sent < 0) {
    log_line(1, 1, " TFTP  sent block %u %d failed\n", s->block.load(), length);
    return -1;
  }
  log_line(3, 0, " TFTP  sent block %u %d\n", s->block.load(), length);
  return static_cast<int>(sent);
}

int wait_for_ack(tftp_session* s) {
  int r = receive_ack(s);
  if (r == 0) log_line(2, 0, " TFTP  ack timeout %u\n", s->block.load());
  return r;
}

int receive_ack(tftp_session* s) {
  uint8_t packet[ACK_BUFFER_SIZE];
  int result;
  for (;;) {
    long n = receive_datagram(s->data_socket, packet, sizeof packet);
    if (n < 0) {
      result = n == RECEIVE_TIMEOUT ? 0 : -1;
      break;
    }
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
    if (a != 0 && static_cast<uint64_t>(a - 1) * s->block_size > size) {
      result = -1;
      break;
    }
    return 1;
  }
  if (result != 0) log_line(2, 0, " TFTP  ack failure %u\n", static_cast<unsigned>(errno));
  return result;
}

static uint32_t block_index(uint32_t index) { return LargeFiles != 0 ? index : (index & 0xFFFFu); }

static int option_phase(tftp_session* s) {
  for (uint32_t c = 0;; c++) {
    send_oack(s);
    int r = wait_for_ack(s);
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
    // Nothing follows a short block (netascii data ends before the file's size).
    int length = ahead && s->next_data_len < s->block_size
                     ? -1
                     : load_block(s, s->packet, block_index(block + (ahead ? 1 : 0)));
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
        int next = length < s->block_size ? -1 : load_block(s, s->next_packet, block_index(block + 1));
        s->next_data_len = next;
        // load_block stored its length in data_len; that belongs to packet.
        s->data_len = length;
        if (next >= 0 && send_block(s, s->next_packet, next) < 0) return RESULT_FAILED;
      }
    }
    s->block = block + 1;
    for (uint32_t k = 0;; k++) {
      int r = wait_for_ack(s);
      if (r == 1) {
        // A multicast client may name any block; the block sent ahead is
        // then not the one that follows.
        if (s->block.load(std::memory_order_relaxed) != block + 1) ahead = 0;
        break;
      }
      if (r == 2) return RESULT_ABORTED;
      if (r == 0) log_line(2, 0, " TFTP  ack timeout %u\n", s->block.load());
      if (r < 0 || k > retransmit)
        return s->data_len == s->block_size ? RESULT_TIMEOUT : RESULT_OK;
      if (server_stop) return RESULT_OK;
      if (send_block(s, s->packet, s->data_len < 0 ? 0 : s->data_len.load()) < 0) return RESULT_FAILED;
      ahead = 0;
    }
    if (s->data_len < s->block_size) return RESULT_OK;
  }
  return RESULT_OK;
}
