// One call: the preparation of socket, local file and packet buffer, the
// transfer, and the clean-up that turns its outcome into a result code.
#include "client/run_client.h"
#include "client/block_table.h"
#include "client/client_request.h"
#include "client/client_transfer.h"
#include "client/command_line.h"
#include "client/local_file.h"
#include "client/multicast_receive.h"
#include "client/pelican.h"
#include "client/resolve.h"
#include "platform/udp_socket.h"

#include <algorithm>
#include <memory>
#include <new>

client_transfer transfer_record;
client_settings settings_record;

namespace {

std::array<unsigned char, LOCAL_FILE_BUFFER_SIZE> file_buffer;

}  // namespace

void reset_client(client_transfer& transfer, client_settings& settings) {
  transfer = client_transfer{};
  transfer.mode = MODE_OCTET;
  transfer.timeout = 1;
  transfer.block_size = BLKSIZE_DEFAULT;
  transfer.socket = -1;
  transfer.receive_socket = -1;
  transfer.file.fd = -1;
  // A second multicast GET must not start with the ranges of the first.
  reset_block_table(transfer.blocks);
  // Settings start from their defaults too, so that no call inherits what
  // an earlier command line set.
  settings = client_settings{};
  settings.server_port = SERVER_PORT_DEFAULT;
  settings.retry_count = RETRY_COUNT_DEFAULT;
  settings.tsize = 1;
}

int run_client(int count, char* const* vector) {
  client_transfer& transfer = transfer_record;
  client_settings& settings = settings_record;
  reset_client(transfer, settings);
  if (!parse_client_args(count, vector, transfer, settings)) return PELICAN_BAD_COMMAND_LINE;
  transfer.buffer_size = std::max(transfer.block_size + 4, PACKET_SIZE_MIN);
  bool get = transfer.operation == OPERATION_GET;
  if (settings.multicast && !get) return PELICAN_BAD_COMMAND_LINE;

  // The socket's family is the server's; a name that does not resolve
  // still gets one, and send_request tells that the host is unknown.
  if (!resolve_host(settings.host_name.data(), &transfer.server_address)) transfer.server_address = ip_address{};
  uint8_t family = transfer.server_address.family == IP_V6 ? IP_V6 : IP_V4;
  transfer.socket = open_udp_socket(any_address(family), 0);
  if (transfer.socket < 0) return PELICAN_NO_SOCKET;
  transfer.receive_socket = transfer.socket;

  // The buffer comes before the local file, so that a GET never leaves a
  // file behind for want of memory.
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[transfer.buffer_size]);
  if (!buffer) {
    transfer.socket = close_socket(transfer.socket);
    return PELICAN_NO_BUFFER;
  }

  int text = transfer.mode == MODE_NETASCII;
  if (get) {
    int opened = local_file_create(transfer.file, transfer.local_name.data(), settings.overwrite,
                                   text, file_buffer.data(), file_buffer.size());
    if (opened != LOCAL_FILE_OK) {
      transfer.socket = close_socket(transfer.socket);
      return opened == LOCAL_FILE_EXISTS ? PELICAN_LOCAL_FILE_EXISTS : PELICAN_LOCAL_FILE_FAILED;
    }
    transfer.block = 1;
    transfer.last_written = 0;  // the file position already stands after "block 0"
  } else {
    if (local_file_open_read(transfer.file, transfer.local_name.data(), text, file_buffer.data(),
                             file_buffer.size()) != LOCAL_FILE_OK) {
      transfer.socket = close_socket(transfer.socket);
      return PELICAN_LOCAL_FILE_FAILED;
    }
    int64_t size = local_file_size(transfer.file);
    if (size >= 0) {
      transfer.expected_size = static_cast<uint64_t>(size);
      transfer.size_known = 1;
    }
  }

  std::size_t length = build_request(transfer, settings, buffer.get(), transfer.buffer_size);
  int answer = send_request(settings, transfer, buffer.get(), length);
  if (answer <= 0) {
    transfer.socket = close_socket(transfer.socket);
    transfer.receive_socket = -1;
    if (get) {
      local_file_abandon(transfer.file);
    } else {
      local_file_close(transfer.file);
    }
    return PELICAN_NO_ANSWER;
  }

  run_transfer(settings, transfer, buffer.get(), static_cast<std::size_t>(answer));

  close_group_socket(transfer);
  transfer.receive_socket = -1;
  transfer.socket = close_socket(transfer.socket);
  if (!get) {
    local_file_close(transfer.file);
    return transfer.result > 0 ? PELICAN_OK : PELICAN_UNFINISHED;
  }
  // A GET's file takes its name only when it is complete: a failed one
  // leaves the local name as it was and nothing beside it.
  if (transfer.result <= 0) {
    local_file_abandon(transfer.file);
    return PELICAN_UNFINISHED;
  }
  int placed = local_file_commit(transfer.file, transfer.local_name.data(), settings.overwrite);
  if (placed == LOCAL_FILE_OK) return PELICAN_OK;
  // Data that cannot be written at the end is a failed GET after all; so is
  // a local name that another program took while the file came.
  transfer.result = TRANSFER_FAILED;
  return placed == LOCAL_FILE_EXISTS ? PELICAN_LOCAL_FILE_EXISTS : PELICAN_UNFINISHED;
}
