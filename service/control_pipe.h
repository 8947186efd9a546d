// The control pipe of the running service, through which other programs
// reload settings, pause and resume the server, read its state and copy
// the session records one at a time. The transport (a named pipe on
// Windows, a local message socket on Linux) is the platform's; the
// commands and replies here are the same on both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/control_channel.h"

constexpr size_t PIPE_BUFFER_SIZE = CONTROL_MESSAGE_SIZE;

enum {
  PIPE_LOAD_GENERAL = 1,
  PIPE_LOAD_SERVER = 2,
  PIPE_LOAD_OPTIONS = 3,
  PIPE_LOAD_ACCESS = 4,
  PIPE_RESUME = 5,
  PIPE_PAUSE = 6,
  PIPE_STATE = 7,
  PIPE_SESSION = 8,
  PIPE_SESSION_ADDRESS = 9,  // command 8's reply followed by the client's address of either family
};
constexpr size_t PIPE_SESSION_REPLY_SIZE = 492;
// Command 9: status, active transfers, the 484-byte record, then the
// client's address: family (4 or 6, 32-bit), 16 bytes in network order (an
// IPv4 address in the first 4), the IPv6 zone (32-bit). The record alone
// holds an IPv6 client's address as 0.0.0.0.
constexpr size_t PIPE_ADDRESS_OFFSET = PIPE_SESSION_REPLY_SIZE;
constexpr size_t PIPE_SESSION_ADDRESS_REPLY_SIZE = PIPE_SESSION_REPLY_SIZE + 24;

// Opens the pipe (control_channel_path()) and starts its thread, after the
// server's start-up lines. Everything that needs the process's start-up
// rights is done before it returns, so that the caller may give them up.
// When the pipe cannot be opened, the log and the system log say where and
// why, and the server goes on without a pipe.
void start_control_pipe();

// Ends the thread and closes the pipe (after the server loop ended).
void stop_control_pipe();

// Answers the request of request_length bytes in buffer (of buffer_size
// bytes) in place and stores the reply's length. A request shorter than its
// command needs is answered with status 1. Returns 1.
int handle_pipe_command(uint8_t* buffer, size_t buffer_size, size_t request_length, size_t* reply_length,
                        const pipe_client* client);
