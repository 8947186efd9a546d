#include "service/console_mode.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <thread>

#include "service/service_control.h"

enum { CTRL_C_EVENT = 0, CTRL_BREAK_EVENT = 1 };

int console_ctrl_handler(int event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return 0;
  printf("Stopping %s.\n", SERVICE_DISPLAY_NAME);
  fflush(stdout);
  stop_service();
  return 1;
}

// Console keys arrive as SIGINT (Ctrl+C) and SIGQUIT (standing in for
// Ctrl+Break); they are received with sigwait on a thread of their own, so
// the reaction runs as ordinary code rather than inside a signal handler.
static void console_event_thread(sigset_t events) {
  for (;;) {
    int signal_number = 0;
    if (sigwait(&events, &signal_number) != 0) return;
    console_ctrl_handler(signal_number == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT);
  }
}

void debug_service(int argument_count, char** arguments) {
  // The keys are taken over before anything is printed, so that a key
  // pressed as soon as the program speaks is handled, not fatal.
  sigset_t events;
  sigemptyset(&events);
  sigaddset(&events, SIGINT);
  sigaddset(&events, SIGQUIT);
  pthread_sigmask(SIG_BLOCK, &events, nullptr);  // inherited by every later thread
  std::thread(console_event_thread, events).detach();
  printf("Debugging %s.\n", SERVICE_DISPLAY_NAME);
  fflush(stdout);
  run_service(argument_count, arguments);
}
