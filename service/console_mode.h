// Running the server in a console until Ctrl+C or Ctrl+Break.
#pragma once

constexpr const char* SERVICE_DISPLAY_NAME = "TFTP Server";

// Runs the server loop on the calling thread with the console's key events
// arriving on a thread of their own. Returns when the server has stopped.
void debug_service(int argument_count, char** arguments);
