// The transfer after the first answer: OACK handling, the GET loop and the
// PUT loop, with retransmission on time-outs.
#include "client/client_transfer.h"
#include "client/client_request.h"
#include "client/local_file.h"
#include "client/multicast_receive.h"
#include "client/resolve.h"
#include "client/transfer_count.h"

#include <algorithm>
#include <memory>
#include <new>

#include "platform/udp_socket.h"

namespace {

void put_header(uint8_t* packet, uint16_t opcode, uint32_t block) {
  put_u16(packet, opcode);
  put_u16(packet + 2, block & 0xFFFF);
}

}  // namespace

int send_and_wait(const client_settings& settings, client_transfer& transfer,
                  const uint8_t* packet, std::size_t length) {
  auto send_it = [&] {
    return send_datagram(transfer.socket, packet, length) == static_cast<long>(length);
  };
  if (!send_it()) return -1;
  for (uint64_t earlier = 0;; earlier++) {
    int r = wait_readable(transfer.receive_socket, transfer.timeout);
    if (r != 0) return r;
    if (earlier > settings.retry_count) return 0;
    if (!send_it()) return -1;
  }
}

// Waits until the socket holds a datagram or the deadline passes: 1 ready,
// 0 at the deadline, -1 on a wait error.
static int wait_until(int socket, int64_t deadline_ms) {
  int r = wait_sockets_until(&socket, 1, deadline_ms);
  return r > 0 ? 1 : r;
}

// A block number the GET loop has already taken: within the 32768 blocks
// before the one expected (numbers wrap after 65535).
static bool already_received(uint16_t n, uint32_t expected) {
  uint32_t behind = (expected - n) & 0xFFFFu;
  return behind >= 1 && behind < 32768 && expected > behind;
}

// Blocks per window that the server acknowledged; 1 is the lockstep.
static uint32_t window_of(const client_transfer& transfer) {
  if (!(transfer.option_flags & OPT_WINDOWSIZE) || (transfer.option_flags & OPT_MULTICAST)) return 1;
  return std::max<uint32_t>(transfer.window_size, 1);
}

int32_t receive_file(const client_settings& settings, client_transfer& transfer,
                     uint8_t* buffer, std::size_t length) {
  transfer.byte_count = 0;
  // The ACK of the last block taken in order goes out again on a
  // time-out; the wait for the next block has one deadline that stray
  // packets do not move.
  std::array<uint8_t, 4> last_ack{};
  put_header(last_ack.data(), OPCODE_ACK, transfer.block - 1);
  int64_t deadline = deadline_after(transfer.timeout);
  uint64_t retries = 0;
  // With a window the server sends that many blocks before it waits: every
  // window-th block and the last are acknowledged, and a block out of order
  // is answered at once (once for each place) with the last one in order,
  // so that the server sends again from there.
  uint32_t window = window_of(transfer);
  uint32_t acked = transfer.block - 1;
  uint32_t gap_answered = UINT32_MAX;
  for (;;) {
    if (length < 4) return TRANSFER_FAILED;
    uint16_t opcode = get_u16(buffer);
    if (opcode == OPCODE_OACK && transfer.block == 1 && transfer.option_flags != 0) {
      // The server did not hear our ACK of its options: say it again.
      send_datagram(transfer.socket, last_ack.data(), last_ack.size());
    } else if (opcode != OPCODE_DATA) {
      note_server_error(transfer, buffer, length);
      return TRANSFER_FAILED;
    } else {
      uint16_t n = get_u16(buffer + 2);
      // Block 0 is only the block after 65535.
      if (n == 0 && transfer.block < 32768) return TRANSFER_FAILED;
      std::size_t data_length = length - 4;
      if (n == (transfer.block & 0xFFFF)) {
        if (transfer.last_written + 1 != static_cast<int64_t>(transfer.block) &&
            !local_file_seek(transfer.file, static_cast<uint64_t>(transfer.block - 1) * transfer.block_size)) {
          return TRANSFER_UNFINISHED;
        }
        if (!local_file_write(transfer.file, buffer + 4, data_length)) {
          // Tell the server, which would otherwise keep sending into the void.
          send_error(transfer.socket, TFTP_ERROR_DISK_FULL, "Disk full or allocation exceeded");
          return TRANSFER_FAILED;
        }
        transfer.last_written = transfer.block;
        transfer.block++;
        transfer.byte_count += static_cast<uint32_t>(data_length);
        count_moved(transfer, data_length);
        put_header(last_ack.data(), OPCODE_ACK, n);
        // Only the block expected ends the file: a short block from
        // elsewhere in the stream must not truncate it.
        bool last = data_length < transfer.block_size;
        if (last || transfer.block - 1 - acked >= window) {
          send_datagram(transfer.socket, last_ack.data(), last_ack.size());
          acked = transfer.block - 1;
        }
        if (last) return TRANSFER_FINISHED;
        deadline = deadline_after(transfer.timeout);
        retries = 0;
      } else if (window > 1) {
        if (gap_answered != transfer.block) {
          send_datagram(transfer.socket, last_ack.data(), last_ack.size());
          acked = transfer.block - 1;
          gap_answered = transfer.block;
        }
      } else if (already_received(n, transfer.block)) {
        // A repeated block: our ACK of it was lost. Acknowledged again with
        // its own number, once; the wait for the next block goes on.
        std::array<uint8_t, 4> again{};
        put_header(again.data(), OPCODE_ACK, n);
        send_datagram(transfer.socket, again.data(), again.size());
      }
      // A block from ahead of the one expected is dropped: the server sends
      // it again after the missing one.
    }
    // Inside a window the next block is usually there already: take it
    // without a wait first.
    long got = window > 1 ? take_datagram(transfer.receive_socket, buffer, transfer.buffer_size) : long{SOCKET_TIMEOUT};
    if (got == SOCKET_FAILED) return TRANSFER_UNFINISHED;
    if (got < 0) {
      for (;;) {
        int r = wait_until(transfer.receive_socket, deadline);
        if (r < 0) return TRANSFER_FAILED;
        if (r > 0) break;
        if (retries > settings.retry_count) return TRANSFER_UNFINISHED;
        retries++;
        if (send_datagram(transfer.socket, last_ack.data(), last_ack.size()) != static_cast<long>(last_ack.size()))
          return TRANSFER_FAILED;
        acked = transfer.block - 1;
        deadline = deadline_after(transfer.timeout);
      }
      got = take_datagram(transfer.receive_socket, buffer, transfer.buffer_size);
      if (got < 0) return TRANSFER_UNFINISHED;
    }
    length = static_cast<std::size_t>(got);
  }
}

// What a reply to a PUT's DATA is: an ACK (its number in *number), one to
// pass over (a runt, or a repeated OACK, which only says that our first
// block was late), or the end of the transfer (an ERROR or anything else,
// kept in the record).
enum { REPLY_ACK, REPLY_SKIP, REPLY_END };
static int classify_reply(client_transfer& transfer, const uint8_t* reply, long got, uint16_t* number) {
  if (got < 4) return REPLY_SKIP;
  uint16_t opcode = get_u16(reply);
  if (opcode == OPCODE_OACK) return REPLY_SKIP;
  if (opcode != OPCODE_ACK) {
    note_server_error(transfer, reply, static_cast<std::size_t>(got));
    return REPLY_END;
  }
  *number = get_u16(reply + 2);
  return REPLY_ACK;
}

int32_t send_file(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
                  std::size_t length) {
  transfer.byte_count = 0;
  if (length < 4 || get_u16(buffer) != OPCODE_ACK) {
    note_server_error(transfer, buffer, length);
    return TRANSFER_FAILED;
  }
  uint16_t n = get_u16(buffer + 2);
  std::size_t block_size =
      std::min<std::size_t>(transfer.block_size, transfer.buffer_size - 4);
  std::size_t last_read = block_size;
  // Answers land here, so that the block in the packet buffer stays ready
  // to go out again; room for the message of an ERROR.
  std::array<uint8_t, 4 + ERROR_TEXT_SIZE> reply{};
  for (;;) {
    if (n != (transfer.block & 0xFFFF)) return TRANSFER_FAILED;
    if (last_read < block_size) return TRANSFER_FINISHED;
    last_read = local_file_read(transfer.file, buffer + 4, block_size);
    if (transfer.file.failed) {
      send_error(transfer.socket, TFTP_ERROR_UNDEFINED, "Read error on the local file");
      return TRANSFER_FAILED;
    }
    transfer.byte_count += static_cast<uint32_t>(last_read);
    count_moved(transfer, last_read);
    transfer.block++;
    put_header(buffer, OPCODE_DATA, transfer.block);
    std::size_t size = 4 + last_read;
    if (send_datagram(transfer.socket, buffer, size) != static_cast<long>(size)) return TRANSFER_FAILED;
    // The block goes out again only on a time-out: answering a duplicate
    // ACK with it would double every later block (Sorcerer's Apprentice).
    int64_t deadline = deadline_after(transfer.timeout);
    uint64_t retries = 0;
    for (;;) {
      int r = wait_until(transfer.socket, deadline);
      if (r < 0) return TRANSFER_FAILED;
      if (r == 0) {
        if (retries > settings.retry_count) return TRANSFER_UNFINISHED;
        retries++;
        if (send_datagram(transfer.socket, buffer, size) != static_cast<long>(size)) return TRANSFER_FAILED;
        deadline = deadline_after(transfer.timeout);
        continue;
      }
      long got = take_datagram(transfer.socket, reply.data(), reply.size());
      if (got < 0) return TRANSFER_UNFINISHED;
      int kind = classify_reply(transfer, reply.data(), got, &n);
      if (kind == REPLY_END) return TRANSFER_FAILED;
      if (kind == REPLY_ACK && n == (transfer.block & 0xFFFF)) break;
    }
  }
}

int32_t send_file_windowed(const client_settings& settings, client_transfer& transfer,
                           uint8_t* buffer, std::size_t length) {
  transfer.byte_count = 0;
  if (length < 4 || get_u16(buffer) != OPCODE_ACK || get_u16(buffer + 2) != 0) {
    note_server_error(transfer, buffer, length);
    return TRANSFER_FAILED;
  }
  uint32_t window = window_of(transfer);
  std::size_t block_size = std::min<std::size_t>(transfer.block_size, transfer.buffer_size - 4);
  std::size_t slot = block_size + 4;
  // The window stays here until it is acknowledged, ready to go out again.
  std::unique_ptr<uint8_t[]> ring(new (std::nothrow) uint8_t[window * slot]);
  std::unique_ptr<std::size_t[]> sizes(new (std::nothrow) std::size_t[window]);
  if (!ring || !sizes) {
    send_error(transfer.socket, TFTP_ERROR_UNDEFINED, "Out of memory");
    return TRANSFER_FAILED;
  }
  size_socket_buffers(transfer.socket, window_socket_bytes(window, block_size), 0);
  auto slot_of = [&](uint32_t b) { return ring.get() + ((b - 1) % window) * slot; };
  auto size_of = [&](uint32_t b) -> std::size_t& { return sizes[(b - 1) % window]; };
  auto send_range = [&](uint32_t first, uint32_t last) {
    std::array<datagram_piece, DATAGRAM_BATCH_MAX> pieces;
    for (uint32_t b = first; b <= last;) {
      int count = static_cast<int>(std::min<uint32_t>(last - b + 1, DATAGRAM_BATCH_MAX));
      for (int i = 0; i < count; i++) {
        uint8_t* packet = slot_of(b + static_cast<uint32_t>(i));
        pieces[static_cast<std::size_t>(i)] = datagram_piece{packet, 4, packet + 4, size_of(b + static_cast<uint32_t>(i))};
      }
      if (send_datagrams(transfer.socket, pieces.data(), count) != count) return false;
      b += static_cast<uint32_t>(count);
    }
    return true;
  };
  uint32_t acked = 0;        // the last block the server acknowledged
  uint32_t loaded = 0;       // the last block read from the file
  uint32_t final_block = 0;  // the short last block, once read
  std::array<uint8_t, 4 + ERROR_TEXT_SIZE> reply{};
  for (;;) {
    uint32_t end = acked + window;
    if (final_block != 0) end = std::min(end, final_block);
    while (loaded < end) {
      uint32_t b = loaded + 1;
      uint8_t* packet = slot_of(b);
      std::size_t got = local_file_read(transfer.file, packet + 4, block_size);
      if (transfer.file.failed) {
        send_error(transfer.socket, TFTP_ERROR_UNDEFINED, "Read error on the local file");
        return TRANSFER_FAILED;
      }
      put_header(packet, OPCODE_DATA, b);
      size_of(b) = got;
      transfer.byte_count += static_cast<uint32_t>(got);
      count_moved(transfer, got);
      transfer.block = loaded = b;
      if (got < block_size) {
        final_block = end = b;
      }
    }
    if (!send_range(acked + 1, end)) return TRANSFER_FAILED;
    // The window goes out again only on a time-out: answering a duplicate
    // ACK with it would multiply the traffic (Sorcerer's Apprentice).
    int64_t deadline = deadline_after(transfer.timeout);
    uint64_t retries = 0;
    uint32_t moved = acked;
    while (moved == acked) {
      int r = wait_until(transfer.socket, deadline);
      if (r < 0) return TRANSFER_FAILED;
      if (r == 0) {
        if (retries > settings.retry_count) return TRANSFER_UNFINISHED;
        retries++;
        if (!send_range(acked + 1, end)) return TRANSFER_FAILED;
        deadline = deadline_after(transfer.timeout);
        continue;
      }
      // The ACKs waiting behind the first one are taken too: the window
      // moves as far as the server has got.
      for (bool first = true;; first = false) {
        long got = take_datagram(transfer.socket, reply.data(), reply.size());
        if (got < 0 && !first) break;
        if (got < 0) return TRANSFER_UNFINISHED;
        uint16_t number;
        int kind = classify_reply(transfer, reply.data(), got, &number);
        if (kind == REPLY_END) return TRANSFER_FAILED;
        if (kind == REPLY_SKIP) continue;
        uint32_t k = acknowledged_block(acked, number);
        if (k > moved && k <= end) moved = k;
      }
    }
    acked = moved;
    if (final_block != 0 && acked == final_block) return TRANSFER_FINISHED;
  }
}

void run_transfer(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
                  std::size_t length) {
  bool get = transfer.operation == OPERATION_GET;
  if (transfer.option_flags != 0) {
    if (get_u16(buffer) == OPCODE_OACK) {
      if (parse_oack(buffer + 2, length - 2, transfer, settings) != OACK_USABLE) {
        // Half-read options are no base for a transfer: refuse them.
        send_error(transfer.socket, TFTP_ERROR_OPTION,
                   oack_refusal_text(transfer.refused_message));
        transfer.result = TRANSFER_FAILED;
        return;
      }
      put_header(buffer, OPCODE_ACK, 0);
      if (!get) {
        transfer.result = window_of(transfer) > 1 ? send_file_windowed(settings, transfer, buffer, 4)
                                                  : send_file(settings, transfer, buffer, 4);
        return;
      }
      if (transfer.option_flags & OPT_MULTICAST) {
        transfer.result = run_multicast_get(settings, transfer, buffer);
        return;
      }
      // The first window follows ACK 0 at once: the buffer must hold it
      // before the ACK goes out, or its tail is lost and costs a time-out.
      if (window_of(transfer) > 1) {
        size_socket_buffers(transfer.receive_socket, 0, window_socket_bytes(window_of(transfer), transfer.block_size));
      }
      if (send_and_wait(settings, transfer, buffer, 4) <= 0) {
        transfer.result = TRANSFER_FAILED;
        return;
      }
      long got = take_datagram(transfer.receive_socket, buffer, transfer.buffer_size);
      if (got < 4) {
        transfer.result = TRANSFER_FAILED;
        return;
      }
      transfer.result = receive_file(settings, transfer, buffer, static_cast<std::size_t>(got));
      return;
    }
    // The server ignored every option.
    transfer.option_flags = 0;
    transfer.block_size = BLKSIZE_DEFAULT;
    transfer.timeout = 1;
    transfer.window_size = 1;
  }
  transfer.result = get ? receive_file(settings, transfer, buffer, length)
                        : send_file(settings, transfer, buffer, length);
}
