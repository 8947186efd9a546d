// The two exports of libpelican.so and its load-time step.
#include "client/client_state.h"
#include "client/pelican.h"
#include "platform/udp_socket.h"

namespace {

argument_vector arguments;

// Runs when the library is loaded. Sockets need no start-up here, so the
// load cannot fail; the call keeps the one place where a platform would.
__attribute__((constructor)) void pelican_load() { net_startup(); }

}  // namespace

extern "C" PELICAN_API int tftp_client(const char* command_line) {
  split_command_line(command_line, arguments);
  return run_client(arguments.count, arguments.vector.data());
}

extern "C" PELICAN_API int tftp_tsize(uint32_t* size) {
  int32_t result = transfer_record.result;
  if (size) *size = result >= 0 ? transfer_record.byte_count : 0;
  return result;
}
