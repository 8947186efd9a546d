// Who is connected to the control pipe: the pipe's server end, through
// which the client's identity is taken on.
#pragma once

struct pipe_client {
  void* pipe;  // HANDLE of the connected pipe
};

// act_as_client takes on the client's identity; whether it may write the
// settings key shows only when the write is tried.
constexpr int CLIENT_JUDGED_BY_CREDENTIALS = 0;
