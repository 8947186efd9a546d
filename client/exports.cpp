// The two exports of the client library (libpelican.so, pelican.dll).
#include "client/command_line.h"
#include "client/run_client.h"
#include "client/pelican.h"

namespace {

argument_vector arguments;

}  // namespace

extern "C" PELICAN_API int tftp_client(const char* command_line) {
  // Nothing runs at load time: the socket layer starts itself with the
  // first socket (a DLL must not start Winsock under the loader's lock),
  // and a failed start is a socket that could not be opened.
  split_command_line(command_line, arguments);
  return run_client(arguments.count, arguments.vector.data());
}

extern "C" PELICAN_API int tftp_tsize(uint32_t* size) {
  int32_t result = transfer_record.result;
  if (size) *size = result >= 0 ? transfer_record.byte_count : 0;
  return result;
}
