#include "core/transfer_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "core/printable.h"
#include "core/settings.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/program_path.h"

std::mutex log_lock;
FILE* log_stream = nullptr;
time_t (*log_clock)(time_t*) = time;

static int64_t monotonic_seconds() { return monotonic_now_ms() / 1000; }
int64_t (*refusal_clock)() = monotonic_seconds;

// The refusal limit, under log_lock: the second being counted, the lines
// written in it, and the lines left out and not yet reported.
static int64_t refusal_second = INT64_MIN;
static unsigned refusals_written = 0;
static unsigned refusals_suppressed = 0;
static int log_is_console = 0;
static std::string log_file_in_use;  // name of the open file; compared whole
static int log_to_journal = 0;
static int log_open_failed = 0;  // reported, and not opened since

// The program's file name, as the system log names its source.
static std::string program_name() {
  char path[4096];
  if (module_file_path(path, sizeof path) == 0) return "orvanel-tftp";
  const char* base = path;
  for (const char* p = path; *p; p++)
    if (*p == '/' || *p == '\\') base = p + 1;
  return base;
}

static void report_log_open_failure(const char* path, const char* reason) {
  std::string name = program_name();
  char text[4400];
  snprintf(text, sizeof text, "the log file %s cannot be opened (%s); no log lines are written until it can be",
           path, reason);
  if (log_to_journal) {
    // Standard error is the journal, which is where syslog goes as well.
    std::string line = name + ": " + text;
    write_journal_line(log_kind_priority(LOG_KIND_START_FAILURE), line.c_str(), line.size());
    return;
  }
  fprintf(stderr, "%s: %s\n", name.c_str(), text);
  fflush(stderr);
  write_event_log_error(name.c_str(), "log file", text);
}

void (*log_open_failure_report)(const char* path, const char* reason) = report_log_open_failure;

void log_to_console() {
  std::lock_guard<std::mutex> hold(log_lock);
  if (log_stream && !log_is_console) fclose(log_stream);
  log_stream = stdout;
  log_is_console = 1;
  // Whoever watches the console sees each line as it is written.
  setvbuf(stdout, nullptr, _IOLBF, 0);
}

const char* log_time_stamp() {
  static char stamp[31];
  time_t now = log_clock(nullptr);
  struct tm local;
  local_calendar_time(now, &local);
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  return stamp;
}

void log_file_name(const struct tm* local, int daily, char* buffer, size_t size) {
  strftime(buffer, size, daily ? "tftp%y%m%d.log" : "tftp%y%m.log", local);
}

// Writes text to the stream, a file in the system's text mode.
static void write_text(const char* text, size_t length) {
  fwrite(text, 1, length, log_stream);
  // Not every C library keeps a stream line-buffered (Windows' treats it as
  // fully buffered), so each console line is pushed out here.
  if (log_is_console) fflush(log_stream);
}

int log_line_kind(const char* text) {
  // A completed transfer: its duration in the first column.
  size_t blanks = strspn(text, " ");
  if (text[blanks] >= '0' && text[blanks] <= '9') return LOG_KIND_INFO;
  // The Timeout, Abort and Error columns of result and refusal lines.
  if (text[0] == ' ' && text[1] == ' ' && text[2] >= 'A' && text[2] <= 'Z') return LOG_KIND_FAILURE;
  size_t n = strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == ' ')) n--;
  if (n >= 6 && memcmp(text + n - 6, "failed", 6) == 0) return LOG_KIND_FAILURE;
  return LOG_KIND_INFO;
}

int log_kind_priority(int kind) {
  return kind == LOG_KIND_START_FAILURE ? JOURNAL_ERROR : kind == LOG_KIND_FAILURE ? JOURNAL_WARNING : JOURNAL_INFO;
}

int log_to_journal_if_attached() {
  std::lock_guard<std::mutex> hold(log_lock);
  log_to_journal = !log_is_console && journal_attached();
  return log_to_journal;
}

void reopen_log() {
  std::lock_guard<std::mutex> hold(log_lock);
  if (Log == 0) {
    if (log_stream && !log_is_console) fclose(log_stream);
    log_stream = nullptr;
    log_is_console = 0;
    log_file_in_use.clear();
    return;
  }
  if (log_stream && log_is_console) return;

  time_t now = log_clock(nullptr);
  struct tm local;
  local_calendar_time(now, &local);
  char name[32];
  log_file_name(&local, CreateLog != 0, name, sizeof name);
  if (log_stream && log_file_in_use == name) return;

  std::string path = transfer_log_directory() + name;
  if (log_stream) fclose(log_stream);
  // Text mode: the line ends of the system's text files.
  log_stream = fopen(path.c_str(), "a");
  if (!log_stream) {
    // Tried again at the next line; said once, never dropped silently.
    const char* reason = strerror(errno);
    log_file_in_use.clear();
    if (!log_open_failed && log_open_failure_report) log_open_failure_report(path.c_str(), reason);
    log_open_failed = 1;
    return;
  }
  log_open_failed = 0;
  log_file_in_use = name;
  if (Log >= 2) {
    char line[128];
    int n = snprintf(line, sizeof line, "\n%s %s log started\n", log_time_stamp(), PRODUCT_TITLE);
    write_text(line, static_cast<size_t>(n));
  }
}

// Formats and writes one line under log_lock, with its time stamp, to the
// file or console and to the journal. kind -1: by the line's text.
static void write_line(int kind, int flush, const char* format, va_list args) {
  char line[1024];
  size_t n = strlen(strcpy(line, log_time_stamp()));
  int m = vsnprintf(line + n, sizeof line - n, format, args);
  if (m < 0) return;
  n += static_cast<size_t>(m) < sizeof line - n ? static_cast<size_t>(m) : sizeof line - n - 1;
  // Names and error texts come from clients: no line end or escape sequence
  // of theirs may forge a line or reach a terminal. Only the line's own end
  // (every format ends with it) stays.
  size_t tail = n > 0 && line[n - 1] == '\n' ? 1 : 0;
  char shown[escaped_size(sizeof line) + 2];
  size_t k = escape_control_bytes(line, n - tail, shown, sizeof shown - 1);
  if (tail) shown[k++] = '\n';
  if (log_stream) {
    write_text(shown, k);
    if (flush) fflush(log_stream);
  }
  if (log_to_journal && k > 19) {
    // The journal stamps every entry itself.
    shown[k - tail] = 0;
    const char* text = shown + 19;
    if (kind < 0) kind = log_line_kind(text);
    write_journal_line(log_kind_priority(kind), text, k - tail - 19);
  }
}

static void write_formatted(int flush, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void write_formatted(int flush, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_line(-1, flush, format, args);
  va_end(args);
}

// Under log_lock with a stream: reports the refusal lines left out once the
// second in which they were counted is over.
static void report_suppressed(int64_t now) {
  if (refusals_suppressed == 0 || now == refusal_second) return;
  write_formatted(1, " %u refusal log lines suppressed\n", refusals_suppressed);
  refusals_suppressed = 0;
}

void close_log() {
  std::lock_guard<std::mutex> hold(log_lock);
  if (log_stream && refusals_suppressed) report_suppressed(INT64_MAX);  // none is lost at stop
  if (log_stream && !log_is_console) {
    fclose(log_stream);
    log_stream = nullptr;
    log_file_in_use.clear();
  }
}

static void log_line_of_kind(int kind, uint32_t level, int flush, const char* format, va_list args) {
  if (Log < level) return;
  std::lock_guard<std::mutex> hold(log_lock);
  if (!log_stream && !log_to_journal) return;
  if (refusals_suppressed) report_suppressed(refusal_clock());
  write_line(kind, flush, format, args);
}

void log_line(uint32_t level, int flush, const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_line_of_kind(-1, level, flush, format, args);
  va_end(args);
}

void log_kind_line(int kind, uint32_t level, int flush, const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_line_of_kind(kind, level, flush, format, args);
  va_end(args);
}

void log_refusal_line(uint32_t level, int flush, const char* format, ...) {
  if (Log < level) return;
  std::lock_guard<std::mutex> hold(log_lock);
  if (!log_stream && !log_to_journal) return;
  int64_t now = refusal_clock();
  report_suppressed(now);
  if (now != refusal_second) {
    refusal_second = now;
    refusals_written = 0;
  }
  if (refusals_written >= LOG_REFUSALS_PER_SECOND) {
    refusals_suppressed++;
    return;
  }
  refusals_written++;
  va_list args;
  va_start(args, format);
  write_line(-1, flush, format, args);
  va_end(args);
}
