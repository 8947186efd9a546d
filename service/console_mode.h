// Running the server in a console until Ctrl+C or Ctrl+Break.
#pragma once

// Runs the server loop on the calling thread with the console's key events
// arriving on a thread of their own. Returns when the server has stopped.
void debug_service(int argument_count, char** arguments);

// Ctrl+C (0) and Ctrl+Break (1) stop the server; returns 1 when handled.
int console_ctrl_handler(int event);
