// The transport of the service's local control channel: one client at a
// time sends messages, each answered by one reply message.
//
// Linux: a SOCK_SEQPACKET socket in the abstract namespace ("@" and the
// name); every local user may connect. Windows: the message-mode named pipe
// "\\.\pipe\" and the name, one instance, open to every local user.
#pragma once

#include <cstddef>
#include <cstdint>

// The backend's record of a connected client (struct pipe_client).
#include "control_client.h"

// Requests longer than this end the client's connection.
constexpr size_t CONTROL_MESSAGE_SIZE = 1024;
// A connected client that sends no request for this long is disconnected,
// so that no local process can hold the one-client channel for itself.
constexpr int64_t CONTROL_IDLE_SECONDS = 5;

// Answers the request of request_length bytes in buffer (buffer_size bytes)
// in place and stores the reply's length; 0 ends the client's connection.
using control_handler = int (*)(uint8_t* buffer, size_t buffer_size, size_t request_length, size_t* reply_length,
                                const pipe_client* client);

// Prepares what wake_control_channel needs. Returns 1 or 0.
int prepare_control_channel();

// Creates the channel of that name. Returns it, or -1.
intptr_t open_control_channel(const char* name);

// Serves clients one after another until the channel fails or is woken;
// clients that connect while one is served are refused as busy. Returns 1.
int serve_control_channel(intptr_t channel, control_handler handler);

// Makes serve_control_channel return soon, from any thread. Returns 1, or 0
// when the serving thread cannot be told.
int wake_control_channel();

// Closes the channel (once nothing serves it) and what prepare made.
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
