#include "platform/event_log.h"

#include <windows.h>

void write_event_log_error(const char* source, const char* first_text, const char* second_text) {
  HANDLE log = RegisterEventSourceA(nullptr, source);
  if (!log) return;  // no event log: the entry is dropped
  const char* strings[2] = {first_text, second_text};
  ReportEventA(log, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr);
  DeregisterEventSource(log);
}
