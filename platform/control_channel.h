// The transport of the service's local control channel: clients send
// messages, each answered by one reply message.
//
// Linux: a SOCK_SEQPACKET socket in the file system, /run/orvanel-tftp/control
// (a directory only root or the service user may write, so that no other
// user can take the name first); every local user may connect, and several
// clients are served at once. Windows: the message-mode named pipe
// \\.\pipe\orvanel_tftp_server, one instance (one client at a time), open to
// every local user; it is not opened when someone else created it first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The backend's record of a connected client (struct pipe_client).
#include "control_client.h"

// Requests longer than this end the client's connection.
constexpr size_t CONTROL_MESSAGE_SIZE = 1024;
// A connected client that sends no request for this long is disconnected.
constexpr int64_t CONTROL_IDLE_SECONDS = 5;
// Clients served at once (Linux). One more makes room for itself by
// disconnecting the least recently active client of the user who holds
// most connections, so that no one user can fill the table.
constexpr int CONTROL_CLIENTS_MAX = 8;
// Where the channel lies unless $ORVANEL_CONTROL_SOCKET names another place
// (Linux; tests run several servers at once).
constexpr const char CONTROL_SOCKET_PATH[] = "/run/orvanel-tftp/control";
constexpr const char CONTROL_PIPE_PATH[] = "\\\\.\\pipe\\orvanel_tftp_server";

// Answers the request of request_length bytes in buffer (buffer_size bytes)
// in place and stores the reply's length; 0 ends the client's connection.
using control_handler = int (*)(uint8_t* buffer, size_t buffer_size, size_t request_length, size_t* reply_length,
                                const pipe_client* client);

// The channel's path: $ORVANEL_CONTROL_SOCKET when set and not empty, else
// CONTROL_SOCKET_PATH (Linux); CONTROL_PIPE_PATH (Windows).
std::string control_channel_path();

// Prepares what wake_control_channel needs. Returns 1 or 0.
int prepare_control_channel();

// Creates the channel at path, doing there and then everything that needs
// the rights the process has now (the directory, the socket, its
// permissions): the caller may give them up right after. Returns it, or -1
// with why not in reason (reason_size bytes, zero-terminated).
intptr_t open_control_channel(const char* path, char* reason, size_t reason_size);

// Serves clients until the channel fails or is woken. Returns 1.
int serve_control_channel(intptr_t channel, control_handler handler);

// Makes serve_control_channel return soon, from any thread. Returns 1, or 0
// when the serving thread cannot be told.
int wake_control_channel();

// Closes the channel (once nothing serves it) and what prepare made; the
// socket's file is removed when it is still ours and we may.
void close_control_channel(intptr_t channel);

// Begins acting on the client's behalf for the settings store: returns 1
// when the store operations that follow, until act_as_self, are to count as
// the client's. Windows impersonates the client, so the store itself
// refuses what the client may not do; Linux judges the client's
// credentials (client_may_write_settings) and returns 0 when they do not
// allow writing the store.
int act_as_client(const pipe_client* client);

// Ends acting on the client's behalf.
void act_as_self();
