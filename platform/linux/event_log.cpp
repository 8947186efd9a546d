#include "platform/event_log.h"

#include <syslog.h>

void write_event_log_error(const char* source, const char* first_text, const char* second_text) {
  // Opened per entry: errors are rare, and the identity must be ours even if
  // a library opened the log under another name meanwhile.
  openlog(source, LOG_PID | LOG_NDELAY, LOG_DAEMON);
  syslog(LOG_ERR, "%s: %s", first_text, second_text);
  closelog();
}
