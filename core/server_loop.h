// The server loop: owns the server port, turns requests into sessions.
#pragma once

#include <cstdint>
#include <string>

struct tftp_session;

// Start-up of the service program (settings, log, port, configuration
// lines), then the receive loop until stop_server. Returns 1 at once when the
// root is no directory or the root or a prefix holds the server's own files
// (server_start_failure says why) or the server port cannot be bound, else 0 after the stop. A first argument
// "-debug" (any case) traces to standard output at level 2 or more.
int server_loop(int argument_count, char** arguments);

// The desktop program's loop, on a thread of its own, with the settings
// already loaded: log, port, server_bound_hook, then the receive loop until
// stop_server. No title or configuration lines, no control channel. Returns
// 1 when the server port cannot be bound, else 0 after the stop.
int desktop_server_loop();

// Why the last start refused to serve (a root or prefix that holds the
// server's own files), or empty.
std::string server_start_failure();

// Why the server port could not be bound at the last start ("cannot bind
// UDP port 69: Permission denied"), or empty.
std::string server_bind_failure();

// Sets server_stop and wakes the receive loop, which then closes the
// listening sockets and ends.
void stop_server();

// Hook run after the start-up lines, before the receive loop (the service
// program's control channel); may be null.
extern void (*server_started_hook)();
// Hook run after the receive loop ended (closes that channel); may be null.
extern void (*server_ended_hook)();
// Hook run by desktop_server_loop after its bind attempt, with 1 when the
// port is bound, else 0 (the window shows the server's state); may be null.
extern void (*server_bound_hook)(int bound);
