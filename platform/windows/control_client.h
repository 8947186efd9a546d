// Who is connected to the control pipe: the pipe's server end, through
// which the client's identity is taken on.
#pragma once

struct pipe_client {
  void* pipe;  // HANDLE of the connected pipe
};
