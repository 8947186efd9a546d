// A GET through a multicast group (RFC 2090): the group socket and its
// membership, the wait of a plain member that takes what the group sends,
// the take-over when the server makes this client the master, and the
// master's own loop, which asks for the first block it still lacks.
#include "client/multicast_receive.h"
#include "client/block_table.h"
#include "client/client_request.h"
#include "client/local_file.h"
#include "client/resolve.h"
#include "client/transfer_count.h"
#include "platform/udp_socket.h"

#include <algorithm>
#include <cstring>

namespace {

// Bit of wait_sockets_until over {transfer socket, group socket} that tells
// of the group socket (bit value 1 is the transfer socket).
constexpr int READY_GROUP = 2;
// take_over: the OACK repeated the member's role; keep waiting.
constexpr int TAKE_OVER_KEEP_WAITING = 1;

// A UDP socket bound to any address and the group port. Address reuse lets
// several clients on one host bind the same group port and each receive
// every datagram of the group. Returns the socket or -1.
int open_group_socket(uint16_t port) { return open_shared_udp_socket(port); }

// Sends an ACK of block n on the (connected) transfer socket. 1 when sent.
int send_ack(int socket, uint16_t n) {
  std::array<uint8_t, 4> packet{};
  put_u16(packet.data(), OPCODE_ACK);
  put_u16(packet.data() + 2, n);
  return send_datagram(socket, packet.data(), packet.size()) == static_cast<long>(packet.size());
}

// Writes one DATA datagram of the group at its place in the file and
// records it. Returns 1 for a block new to the table, 0 for one dropped
// (not DATA, block 0, longer than a block, already held, or the file could
// not be positioned), -1 when the file cannot be written.
int store_group_block(client_transfer& transfer, const uint8_t* packet, std::size_t length) {
  if (length < 4 || get_u16(packet) != OPCODE_DATA) return 0;
  uint16_t n = get_u16(packet + 2);
  std::size_t data_length = length - 4;
  block_table& table = transfer.blocks;
  if (n == 0 || data_length > transfer.block_size || block_marked(table, n)) return 0;
  if (table.last_written + 1 != n) {
    if (!local_file_seek(transfer.file, static_cast<uint64_t>(n - 1) * transfer.block_size)) {
      table.last_written = -1;
      return transfer.file.failed ? -1 : 0;
    }
  }
  if (!local_file_write(transfer.file, packet + 4, data_length)) return -1;
  table.last_written = n;
  if (data_length < transfer.block_size) table.final_block = n;
  mark_block(table, n);
  count_moved(transfer, data_length);
  return 1;
}

// The OACK that a waiting member receives: normally the server handing it
// the master role. Returns MULTICAST_CONTINUE (now master, the ACK of the
// contiguous end is in the buffer), MULTICAST_COMPLETE, MULTICAST_NO_GROUP,
// or TAKE_OVER_KEEP_WAITING for an OACK that leaves this client a member.
int take_over(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
              std::size_t length) {
  uint32_t block_size = transfer.block_size;
  std::array<uint8_t, 4> address = transfer.multicast_address;
  uint16_t port = transfer.multicast_port;
  if (parse_oack(buffer + 2, length - 2, transfer, settings) != OACK_USABLE) {
    send_error(transfer.socket, TFTP_ERROR_OPTION, oack_refusal_text(transfer.refused_message));
    return MULTICAST_NO_GROUP;
  }
  // Blocks already written belong to this group and block size only.
  if (!(transfer.option_flags & OPT_MULTICAST) || transfer.block_size != block_size ||
      transfer.multicast_address != address || transfer.multicast_port != port) {
    send_error(transfer.socket, TFTP_ERROR_OPTION, oack_refusal_text(0));
    return MULTICAST_NO_GROUP;
  }
  if (!transfer.multicast_master) return TAKE_OVER_KEEP_WAITING;
  if (!local_file_seek(transfer.file, 0)) return MULTICAST_NO_GROUP;
  transfer.blocks.last_written = 0;
  uint16_t m = contiguous_end(transfer.blocks, 0);
  transfer.block = static_cast<uint32_t>(m) + 1;
  put_u16(buffer, OPCODE_ACK);
  put_u16(buffer + 2, m);
  if (m == transfer.blocks.final_block) {
    send_datagram(transfer.socket, buffer, 4);
    return MULTICAST_COMPLETE;
  }
  return MULTICAST_CONTINUE;
}

}  // namespace

// Joins (join = 1) or leaves (join = 0) the group on the group socket, on
// the interface the system chooses. Returns 0 on success.
int set_group_membership(const client_transfer& transfer, int join) {
  uint32_t group = 0;
  std::memcpy(&group, transfer.multicast_address.data(), sizeof group);
  return set_multicast_membership(transfer.receive_socket, group, join) ? 0 : 1;
}

// Receives one datagram from the group socket into the buffer and stores it.
// Returns 1 when the file is complete, 0 when not yet, -1 when the file
// cannot be written.
int receive_group_block(client_transfer& transfer, uint8_t* buffer) {
  long got = take_datagram(transfer.receive_socket, buffer, transfer.buffer_size);
  if (got < 4) return 0;
  if (store_group_block(transfer, buffer, static_cast<std::size_t>(got)) < 0) return -1;
  return all_blocks_received(transfer.blocks);
}

// Opens and joins the group of the OACK, then, for a plain member, waits:
// writes what the group sends and watches the transfer socket for the OACK
// that makes this client the master. Returns MULTICAST_CONTINUE (go on as
// master), MULTICAST_COMPLETE (the ACK of the final block has been sent),
// or MULTICAST_NO_GROUP, _NO_JOIN, _NO_SEND on failures.
int receive_multicast(const client_settings& settings, client_transfer& transfer,
                      uint8_t* buffer) {
  int group = open_group_socket(transfer.multicast_port);
  if (group < 0) return MULTICAST_NO_GROUP;
  transfer.receive_socket = group;
  if (set_group_membership(transfer, 1) != 0) return MULTICAST_NO_JOIN;
  if (transfer.multicast_master) return MULTICAST_CONTINUE;

  // Until the server is heard from, a one-byte datagram before each wait
  // keeps the path open; the server drops it, where an ACK would make it
  // serve this client alone.
  static constexpr std::array<uint8_t, 1> nudge = {0};
  const std::array<int, 2> sockets = {transfer.socket, group};
  bool heard = false;
  for (uint32_t timeouts = 0;;) {
    if (!heard && send_datagram(transfer.socket, nudge.data(), nudge.size()) != 1) {
      return MULTICAST_NO_SEND;
    }
    int ready = wait_sockets_until(sockets.data(), 2, deadline_after(transfer.timeout));
    if (ready < 0) return MULTICAST_NO_GROUP;
    if (ready == 0) {
      if (timeouts > settings.retry_count) return MULTICAST_NO_GROUP;
      timeouts++;
      continue;
    }
    timeouts = 0;
    heard = true;
    // The group first: blocks queued before a hand-over are taken in
    // before this client starts asking for what it lacks.
    if (ready & READY_GROUP) {
      int r = receive_group_block(transfer, buffer);
      if (r < 0) return MULTICAST_NO_GROUP;
      if (r == 1) {
        send_ack(transfer.socket, transfer.blocks.final_block);
        return MULTICAST_COMPLETE;
      }
      continue;
    }
    long got = take_datagram(transfer.socket, buffer, transfer.buffer_size);
    if (got < 4) return MULTICAST_NO_GROUP;
    if (get_u16(buffer) != OPCODE_OACK) continue;  // an ERROR, too, is passed over
    int r = take_over(settings, transfer, buffer, static_cast<std::size_t>(got));
    if (r != TAKE_OVER_KEEP_WAITING) return r;
  }
}

// The master's loop: acknowledges the end of the blocks held without a gap
// from block 1, takes DATA from the group (or, from a server that sends it
// so, on the transfer socket), and repeats its ACK only after a time-out,
// so that duplicates never multiply. Ends with the ACK of the final block
// once every block is there. Returns a transfer result; byte_count is the
// data of the blocks stored by this loop.
int32_t receive_as_master(const client_settings& settings, client_transfer& transfer,
                          uint8_t* buffer) {
  transfer.byte_count = 0;
  block_table& table = transfer.blocks;
  const std::array<int, 2> sockets = {transfer.socket, transfer.receive_socket};
  uint16_t acked = contiguous_end(table, 0);
  bool send_now = true;
  int64_t deadline = 0;
  for (uint32_t timeouts = 0;;) {
    if (send_now) {
      if (!send_ack(transfer.socket, acked)) return TRANSFER_FAILED;
      deadline = deadline_after(transfer.timeout);
      send_now = false;
    }
    int ready = wait_sockets_until(sockets.data(), 2, deadline);
    if (ready < 0) return TRANSFER_FAILED;
    if (ready == 0) {
      if (timeouts > settings.retry_count) return TRANSFER_UNFINISHED;
      timeouts++;
      send_now = true;
      continue;
    }
    int from_group = (ready & READY_GROUP) != 0;
    long got = take_datagram(from_group ? transfer.receive_socket : transfer.socket, buffer,
                             transfer.buffer_size);
    if (got < 4) {
      if (from_group) continue;
      return TRANSFER_UNFINISHED;
    }
    uint16_t opcode = get_u16(buffer);
    if (!from_group && opcode == OPCODE_ERROR) {
      note_server_error(transfer, buffer, static_cast<std::size_t>(got));
      return TRANSFER_FAILED;
    }
    if (!from_group && opcode == OPCODE_OACK) {
      send_now = true;  // the server has not seen the ACK that answered it
      continue;
    }
    int stored = store_group_block(transfer, buffer, static_cast<std::size_t>(got));
    if (stored < 0) {
      send_error(transfer.socket, TFTP_ERROR_DISK_FULL, "Disk full or allocation exceeded");
      return TRANSFER_FAILED;
    }
    if (stored == 0) continue;
    transfer.byte_count += static_cast<uint32_t>(got - 4);
    if (all_blocks_received(table)) {
      send_ack(transfer.socket, table.final_block);
      return TRANSFER_FINISHED;
    }
    uint16_t m = contiguous_end(table, 0);
    if (m != acked) {
      acked = m;
      transfer.block = static_cast<uint32_t>(m) + 1;
      timeouts = 0;
      send_now = true;
    }
  }
}

// A GET whose OACK granted the multicast option, from the group socket to
// the end of the transfer. Returns the transfer result.
int32_t run_multicast_get(const client_settings& settings, client_transfer& transfer,
                          uint8_t* buffer) {
  // Group blocks are written at their offsets, which netascii does not
  // keep, and their numbers do not wrap.
  uint64_t blocks_max = static_cast<uint64_t>(GROUP_BLOCKS_MAX) * transfer.block_size;
  if (transfer.mode == MODE_NETASCII ||
      ((transfer.option_flags & OPT_TSIZE) && transfer.expected_size >= blocks_max)) {
    send_error(transfer.socket, TFTP_ERROR_OPTION, "Bad multicast option");
    return TRANSFER_FAILED;
  }
  int r = receive_multicast(settings, transfer, buffer);
  int32_t result = TRANSFER_FAILED;
  if (r == MULTICAST_COMPLETE) {
    result = TRANSFER_FINISHED;
  } else if (r == MULTICAST_CONTINUE) {
    result = receive_as_master(settings, transfer, buffer);
  } else if (r == MULTICAST_NO_GROUP) {
    // Silence or a lost group is no finished file.
    result = TRANSFER_UNFINISHED;
  }
  if (transfer.file.failed) result = TRANSFER_FAILED;
  return result;
}

// Leaves the group and closes the group socket, when one was opened.
void close_group_socket(client_transfer& transfer) {
  if (transfer.receive_socket >= 0 && transfer.receive_socket != transfer.socket) {
    set_group_membership(transfer, 0);
    close_socket(transfer.receive_socket);
  }
  transfer.receive_socket = transfer.socket;
}
