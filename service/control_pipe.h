// The control pipe of the running service, through which other programs
// reload settings, pause and resume the server, read its state and copy
// the session records one at a time. The transport (a named pipe on
// Windows, a local message socket on Linux) is the platform's; the
// commands and replies here are the same on both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/control_channel.h"

constexpr const char CONTROL_PIPE_NAME[] = "orvanel_tftp_server";
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
};
constexpr size_t PIPE_SESSION_REPLY_SIZE = 492;

// Starts the pipe's thread (after the server's start-up lines); the server
// goes on without a pipe when it cannot be created.
void start_control_pipe();

// Ends the thread and closes the pipe (after the server loop ended).
void stop_control_pipe();

// The thread body: creates the pipe and serves it.
void control_pipe_thread();

// The pipe of that name, or -1.
intptr_t create_control_pipe(const char* name);

// Serves clients one after another until the pipe fails or is stopped;
// returns 1.
int serve_control_pipe(intptr_t pipe, control_handler handler);

// Answers the request of request_length bytes in buffer (of buffer_size
// bytes) in place and stores the reply's length. A request shorter than its
// command needs is answered with status 1. Returns 1.
int handle_pipe_command(uint8_t* buffer, size_t buffer_size, size_t request_length, size_t* reply_length,
                        const pipe_client* client);
