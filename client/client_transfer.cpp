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

int32_t receive_file(const client_settings& settings, client_transfer& transfer,
                     uint8_t* buffer, std::size_t length) {
  transfer.byte_count = 0;
  for (;;) {
    if (length < 4 || get_u16(buffer) != OPCODE_DATA) return TRANSFER_FAILED;
    uint16_t n = get_u16(buffer + 2);
    // Block 0 is only the block after 65535.
    if (n == 0 && transfer.block < 32768) return TRANSFER_FAILED;
    std::size_t data_length = length - 4;
    if (n == (transfer.block & 0xFFFF)) {
      if (transfer.last_written + 1 != static_cast<int64_t>(transfer.block) &&
          !local_file_seek(transfer.file,
                           static_cast<uint64_t>(transfer.block - 1) * transfer.block_size)) {
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
    }
    // A repeated block is acknowledged again with its own number.
    put_header(buffer, OPCODE_ACK, n);
    if (length < static_cast<std::size_t>(transfer.block_size) + 4) {
      send(transfer.socket, buffer, 4, 0);
      return TRANSFER_FINISHED;
    }
    int r = send_and_wait(settings, transfer, buffer, 4);
    if (r <= 0) return r;
    ssize_t got = recv(transfer.receive_socket, buffer, transfer.buffer_size, 0);
    if (got < 4) return TRANSFER_UNFINISHED;
    length = static_cast<std::size_t>(got);
  }
}

int32_t send_file(const client_settings& settings, client_transfer& transfer, uint8_t* buffer,
                  std::size_t length) {
  transfer.byte_count = 0;
  if (length < 4) return TRANSFER_FAILED;
  uint16_t opcode = get_u16(buffer);
  uint16_t n = get_u16(buffer + 2);
  std::size_t block_size =
      std::min<std::size_t>(transfer.block_size, transfer.buffer_size - 4);
  std::size_t last_read = block_size;
  // Answers land here, so that the block in the packet buffer stays ready
  // to go out again.
  std::array<uint8_t, 4> reply{};
  while (opcode == OPCODE_ACK) {
    if (n == (transfer.block & 0xFFFF)) {
      if (last_read < block_size) return TRANSFER_FINISHED;
      last_read = local_file_read(transfer.file, buffer + 4, block_size);
      if (transfer.file.failed) {
        send_error(transfer.socket, TFTP_ERROR_UNDEFINED, "Read error on the local file");
        return TRANSFER_FAILED;
      }
      transfer.byte_count += static_cast<uint32_t>(last_read);
      transfer.block++;
    }
    // An ACK of another block makes the current block go out again.
    put_header(buffer, OPCODE_DATA, transfer.block);
    int r = send_and_wait(settings, transfer, buffer, 4 + last_read);
    if (r <= 0) return r;
    // MSG_TRUNC: the datagram's real length, though only four bytes are kept.
    ssize_t got = recv(transfer.socket, reply.data(), reply.size(), MSG_TRUNC);
    if (got < 4) return TRANSFER_UNFINISHED;
    opcode = get_u16(reply.data());
    n = get_u16(reply.data() + 2);
  }
  return TRANSFER_FAILED;
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
