#include "platform/console_events.h"

#include <windows.h>

static int (*console_handler)(int) = nullptr;

void prepare_console_process() {
  // A failing drive or a crash must not wait for someone to close a dialog
  // box: a service has nobody in front of it.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

// The system calls this on a thread it creates for the event.
static BOOL WINAPI console_trampoline(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  return console_handler && console_handler(event == CTRL_C_EVENT ? CONSOLE_EVENT_CTRL_C : CONSOLE_EVENT_CTRL_BREAK)
             ? TRUE
             : FALSE;
}

void watch_console_events(int (*handler)(int event)) {
  console_handler = handler;
  SetConsoleCtrlHandler(console_trampoline, TRUE);  // added to the list
}
