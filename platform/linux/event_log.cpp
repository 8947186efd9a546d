#include "platform/event_log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

void write_event_log_error(const char* source, const char* first_text, const char* second_text) {
  // Opened per entry: errors are rare, and the identity must be ours even if
  // a library opened the log under another name meanwhile.
  openlog(source, LOG_PID | LOG_NDELAY, LOG_DAEMON);
  syslog(LOG_ERR, "%s: %s", first_text, second_text);
  closelog();
}

int journal_attached() {
  // The variable may be inherited by a program whose standard error went
  // elsewhere: only the stream it names counts.
  const char* named = getenv("JOURNAL_STREAM");
  unsigned long long device, inode;
  if (!named || sscanf(named, "%llu:%llu", &device, &inode) != 2) return 0;
  struct stat st;
  if (fstat(STDERR_FILENO, &st) != 0) return 0;
  return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

size_t format_journal_line(int priority, const char* text, size_t length, char* out, size_t size) {
  if (size == 0) return 0;
  int n = snprintf(out, size, "<%d>", priority);
  if (n < 0 || static_cast<size_t>(n) + 2 > size) {
    out[0] = 0;
    return 0;
  }
  size_t at = static_cast<size_t>(n);
  size_t room = size - at - 2;
  if (length > room) length = room;
  memcpy(out + at, text, length);
  at += length;
  out[at++] = '\n';
  out[at] = 0;
  return at;
}

void write_journal_line(int priority, const char* text, size_t length) {
  char line[4608];
  size_t n = format_journal_line(priority, text, length, line, sizeof line);
  // One write, so that a line is one journal entry whatever other threads
  // write to standard error meanwhile.
  for (size_t done = 0; done < n;) {
    ssize_t w = write(STDERR_FILENO, line + done, n - done);
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
}
