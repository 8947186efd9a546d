#include "platform/event_log.h"

#include <windows.h>

void write_event_log_error(const char* source, const char* first_text, const char* second_text) {
  HANDLE log = RegisterEventSourceA(nullptr, source);
  if (!log) return;  // no event log: the entry is dropped
  const char* strings[2] = {first_text, second_text};
  ReportEventA(log, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr);
  DeregisterEventSource(log);
}

// Windows has no journal stream; its event log takes the errors.
int journal_attached() { return 0; }

size_t format_journal_line(int, const char*, size_t, char* out, size_t size) {
  if (size) out[0] = 0;
  return 0;
}

void write_journal_line(int, const char*, size_t) {}
