// The control channel of the running service: a local message socket
// through which other programs reload settings, pause and resume the
// server, read its state and copy the session records one at a time.
//
// Linux stands a SOCK_SEQPACKET socket in the abstract namespace,
// "@orvanel_tftp_server", in for the named pipe: one message per request
// and per reply, every local user may connect, one client at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr const char CONTROL_PIPE_NAME[] = "orvanel_tftp_server";
constexpr size_t PIPE_BUFFER_SIZE = 1024;
// A connected client that sends no request for this long is disconnected,
// so that no local process can hold the one-client channel for itself.
constexpr int64_t CONTROL_IDLE_SECONDS = 5;

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

// Who is asking: the credentials the kernel recorded when the client
// connected. Commands 5 and 6 act on the client's rights, never the server's.
struct pipe_client {
  uid_t uid;
  gid_t gid;
  gid_t groups[64];
  int group_count;
};

// Starts the channel's thread (after the server's start-up lines); the
// server goes on without a channel when it cannot be created.
void start_control_pipe();

// Ends the thread and closes the channel (after the server loop ended).
void stop_control_pipe();

// The thread body: creates the channel and serves it.
void control_pipe_thread();

// A listening socket of that abstract name, or -1.
int create_control_pipe(const char* name);

// Serves clients one after another until the channel fails or is stopped;
// returns 1.
int serve_control_pipe(int pipe, int (*handler)(uint8_t*, size_t, size_t, size_t*, const pipe_client*));

// Answers the request of request_length bytes in buffer (of buffer_size
// bytes) in place and stores the reply's length. A request shorter than its
// command needs is answered with status 1. Returns 1.
int handle_pipe_command(uint8_t* buffer, size_t buffer_size, size_t request_length, size_t* reply_length,
                        const pipe_client* client);

// 1 when the client could itself write the machine hive of the settings
// store (replace its file), judged from its credentials.
int client_may_write_settings(const pipe_client* client);
