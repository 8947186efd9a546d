#include "service/console_mode.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <thread>

#include "core/server_loop.h"

// Console events are received with sigwait on a thread of their own, so the
// reaction runs as ordinary code rather than inside a signal handler.
static void console_event_thread(sigset_t events) {
  for (;;) {
    int event = 0;
    if (sigwait(&events, &event) != 0) return;
    if (event == SIGINT || event == SIGQUIT) {
      printf("Stopping %s.\n", SERVICE_DISPLAY_NAME);
      fflush(stdout);
      stop_server();
      return;
    }
  }
}

void debug_service(int argument_count, char** arguments) {
  printf("Debugging %s.\n", SERVICE_DISPLAY_NAME);
  fflush(stdout);
  sigset_t events;
  sigemptyset(&events);
  sigaddset(&events, SIGINT);
  sigaddset(&events, SIGQUIT);
  pthread_sigmask(SIG_BLOCK, &events, nullptr);  // inherited by every later thread
  std::thread(console_event_thread, events).detach();
  server_loop(argument_count, arguments);
}
