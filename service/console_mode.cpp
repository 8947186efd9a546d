#include "service/console_mode.h"

#include <cstdio>

#include "platform/console_events.h"
#include "service/service_control.h"

int console_ctrl_handler(int event) {
  if (event != CONSOLE_EVENT_CTRL_C && event != CONSOLE_EVENT_CTRL_BREAK) return 0;
  printf("Stopping %s.\n", SERVICE_DISPLAY_NAME);
  fflush(stdout);
  stop_service();
  return 1;
}

void debug_service(int argument_count, char** arguments) {
  // The keys are taken over before anything is printed, so that a key
  // pressed as soon as the program speaks is handled, not fatal.
  watch_console_events(console_ctrl_handler);
  printf("Debugging %s.\n", SERVICE_DISPLAY_NAME);
  fflush(stdout);
  run_service(argument_count, arguments);
}
