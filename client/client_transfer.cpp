// The transfer after the first answer: OACK handling, the GET loop and the
// PUT loop, with retransmission on time-outs.
#include "client/client_state.h"

#include <algorithm>

#include <sys/socket.h>

namespace {

void put_header(uint8_t* packet, uint16_t opcode, uint32_t block) {
  put_u16(packet, opcode);
  put_u16(packet + 2, block & 0xFFFF);
}

}  // namespace

int send_and_wait(const client_settings& settings, client_transfer& transfer,
                  const uint8_t* packet, std::size_t length) {
  auto send_it = [&] {
    return send(transfer.socket, packet, length, 0) == static_cast<ssize_t>(length);
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

int32_t receive_file(const client_settings& settings, client_transfer& transfer,
                     uint8_t* buffer, std::size_t length) {
  transfer.byte_count = 0;
  // The last ACK sent goes out again on a time-out; the wait for the next
  // block has one deadline that stray packets do not move.
  std::array<uint8_t, 4> last_ack{};
  put_header(last_ack.data(), OPCODE_ACK, transfer.block - 1);
  int64_t deadline = monotonic_ms() + static_cast<int64_t>(std::max<int32_t>(transfer.timeout, 0)) * 1000;
  uint64_t retries = 0;
  for (;;) {
    if (length < 4) return TRANSFER_FAILED;
    uint16_t opcode = get_u16(buffer);
    if (opcode == OPCODE_OACK && transfer.block == 1 && transfer.option_flags != 0) {
      // The server did not hear our ACK of its options: say it again.
      send(transfer.socket, last_ack.data(), last_ack.size(), 0);
    } else if (opcode != OPCODE_DATA) {
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
        put_header(last_ack.data(), OPCODE_ACK, n);
        send(transfer.socket, last_ack.data(), last_ack.size(), 0);
        // Only the block expected ends the file: a short block from
        // elsewhere in the stream must not truncate it.
        if (data_length < transfer.block_size) return TRANSFER_FINISHED;
        deadline = monotonic_ms() + static_cast<int64_t>(std::max<int32_t>(transfer.timeout, 0)) * 1000;
        retries = 0;
      } else if (already_received(n, transfer.block)) {
        // A repeated block: our ACK of it was lost. Acknowledged again with
        // its own number, once; the wait for the next block goes on.
        std::array<uint8_t, 4> again{};
        put_header(again.data(), OPCODE_ACK, n);
        send(transfer.socket, again.data(), again.size(), 0);
      }
      // A block from ahead of the one expected is dropped: the server sends
      // it again after the missing one.
    }
    for (;;) {
      int r = wait_until(transfer.receive_socket, deadline);
      if (r < 0) return TRANSFER_FAILED;
      if (r > 0) break;
      if (retries > settings.retry_count) return TRANSFER_UNFINISHED;
      retries++;
      if (send(transfer.socket, last_ack.data(), last_ack.size(), 0) != static_cast<ssize_t>(last_ack.size()))
        return TRANSFER_FAILED;
      deadline = monotonic_ms() + static_cast<int64_t>(std::max<int32_t>(transfer.timeout, 0)) * 1000;
    }
    ssize_t got = recv(transfer.receive_socket, buffer, transfer.buffer_size, 0);
    if (got < 0) return TRANSFER_UNFINISHED;
    length = static_cast<std::size_t>(got);
  }
}

int32_t send_file(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
                  std::size_t length) {
  transfer.byte_count = 0;
  if (length < 4 || get_u16(buffer) != OPCODE_ACK) return TRANSFER_FAILED;
  uint16_t n = get_u16(buffer + 2);
  std::size_t block_size =
      std::min<std::size_t>(transfer.block_size, transfer.buffer_size - 4);
  std::size_t last_read = block_size;
  // Answers land here, so that the block in the packet buffer stays ready
  // to go out again.
  std::array<uint8_t, 4> reply{};
  for (;;) {
    if (n != (transfer.block & 0xFFFF)) return TRANSFER_FAILED;
    if (last_read < block_size) return TRANSFER_FINISHED;
    last_read = local_file_read(transfer.file, buffer + 4, block_size);
    if (transfer.file.failed) {
      send_error(transfer.socket, TFTP_ERROR_UNDEFINED, "Read error on the local file");
      return TRANSFER_FAILED;
    }
    transfer.byte_count += static_cast<uint32_t>(last_read);
    transfer.block++;
    put_header(buffer, OPCODE_DATA, transfer.block);
    std::size_t size = 4 + last_read;
    if (send(transfer.socket, buffer, size, 0) != static_cast<ssize_t>(size)) return TRANSFER_FAILED;
    // The block goes out again only on a time-out: answering a duplicate
    // ACK with it would double every later block (Sorcerer's Apprentice).
    int64_t deadline = monotonic_ms() + static_cast<int64_t>(std::max<int32_t>(transfer.timeout, 0)) * 1000;
    uint64_t retries = 0;
    for (;;) {
      int r = wait_until(transfer.socket, deadline);
      if (r < 0) return TRANSFER_FAILED;
      if (r == 0) {
        if (retries > settings.retry_count) return TRANSFER_UNFINISHED;
        retries++;
        if (send(transfer.socket, buffer, size, 0) != static_cast<ssize_t>(size)) return TRANSFER_FAILED;
        deadline = monotonic_ms() + static_cast<int64_t>(std::max<int32_t>(transfer.timeout, 0)) * 1000;
        continue;
      }
      // MSG_TRUNC: the datagram's real length, though only four bytes are kept.
      ssize_t got = recv(transfer.socket, reply.data(), reply.size(), MSG_TRUNC);
      if (got < 0) return TRANSFER_UNFINISHED;
      if (got < 4) continue;
      uint16_t opcode = get_u16(reply.data());
      // A repeated OACK only says that our first block was late.
      if (opcode == OPCODE_OACK) continue;
      if (opcode != OPCODE_ACK) return TRANSFER_FAILED;
      n = get_u16(reply.data() + 2);
      if (n == (transfer.block & 0xFFFF)) break;
    }
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
        transfer.delete_local = get;
        return;
      }
      put_header(buffer, OPCODE_ACK, 0);
      if (!get) {
        transfer.result = send_file(settings, transfer, buffer, 4);
        return;
      }
      if (transfer.option_flags & OPT_MULTICAST) {
        transfer.result = run_multicast_get(settings, transfer, buffer);
        return;
      }
      if (send_and_wait(settings, transfer, buffer, 4) <= 0) {
        transfer.result = TRANSFER_FAILED;
        return;
      }
      ssize_t got = recv(transfer.receive_socket, buffer, transfer.buffer_size, 0);
      if (got < 4) {
        transfer.result = TRANSFER_FAILED;
        return;
      }
      transfer.result = receive_file(settings, transfer, buffer, static_cast<std::size_t>(got));
      return;
    }
    // The server ignored every option.
    transfer.option_flags = 0;
    transfer.block_size = BLOCK_SIZE_DEFAULT;
    transfer.timeout = 1;
  }
  transfer.result = get ? receive_file(settings, transfer, buffer, length)
                        : send_file(settings, transfer, buffer, length);
}
