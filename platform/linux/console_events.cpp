#include "platform/console_events.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

void prepare_console_process() {
  // Writes to a console that went away must fail, not end the server.
  signal(SIGPIPE, SIG_IGN);
  // A file size limit must fail the write (and the upload), not end the server.
  signal(SIGXFSZ, SIG_IGN);
}

// The keys arrive as SIGINT (Ctrl+C) and SIGQUIT (standing in for
// Ctrl+Break); SIGTERM, the polite end that kill, a shell's job control or a
// supervisor sends, counts as Ctrl+C, so that a console server stopped that
// way also ends its transfers and cleans up. They are received with sigwait
// on a thread of their own, so the reaction runs as ordinary code rather
// than inside a signal handler.
static void console_event_thread(int (*handler)(int), sigset_t events) {
  for (;;) {
    int signal_number = 0;
    if (sigwait(&events, &signal_number) != 0) return;
    handler(signal_number == SIGQUIT ? CONSOLE_EVENT_CTRL_BREAK : CONSOLE_EVENT_CTRL_C);
  }
}

void watch_console_events(int (*handler)(int event)) {
  sigset_t events;
  sigemptyset(&events);
  sigaddset(&events, SIGINT);
  sigaddset(&events, SIGQUIT);
  sigaddset(&events, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &events, nullptr);  // inherited by every later thread
  std::thread(console_event_thread, handler, events).detach();
}
