// Option acknowledgements of any shape, as the client reads them: the
// reading must stay inside the datagram and keep the block size within what
// was asked for.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/client_request.h"
#include "client/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the call: GET or PUT, multicast asked for or not.
  client_transfer transfer{};
  client_settings settings{};
  reset_client(transfer, settings);
  transfer.operation = (data[0] & 1) ? OPERATION_PUT : OPERATION_GET;
  settings.multicast = (data[0] & 2) ? 1 : 0;
  transfer.timeout = 3;
  transfer.block_size = 1428;
  transfer.requested_block_size = 1428;
  // Exactly the datagram's bytes on the heap, so any read past them is seen.
  size_t length = size - 1;
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[length]);
  if (length) memcpy(bytes.get(), data + 1, length);
  int r = parse_oack(bytes.get(), length, transfer, settings);
  if (r != OACK_USABLE && r != OACK_REFUSED) abort();
  if (transfer.block_size < BLKSIZE_MIN || transfer.block_size > 1428) abort();
  return 0;
}
