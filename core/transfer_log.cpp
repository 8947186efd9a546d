#include "core/transfer_log.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "core/printable.h"
#include "core/settings.h"
#include "platform/clock.h"
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

char* format_ipv4(uint32_t address, char* buffer) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
  snprintf(buffer, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buffer;
}

void log_file_name(const struct tm* local, int daily, char* buffer, size_t size) {
  strftime(buffer, size, daily ? "tftp%y%m%d.log" : "tftp%y%m.log", local);
}

// Writes text to the stream; a file gets CR LF line ends.
static void write_text(const char* text, size_t length) {
  if (log_is_console) {
    // Not every C library keeps a stream line-buffered (Windows' treats it
    // as fully buffered), so each console line is pushed out here.
    fwrite(text, 1, length, log_stream);
    fflush(log_stream);
    return;
  }
  const char* p = text;
  const char* end = text + length;
  while (p < end) {
    const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (!nl) {
      fwrite(p, 1, static_cast<size_t>(end - p), log_stream);
      break;
    }
    fwrite(p, 1, static_cast<size_t>(nl - p), log_stream);
    fwrite("\r\n", 1, 2, log_stream);
    p = nl + 1;
  }
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
  log_stream = fopen(path.c_str(), "ab");
  if (!log_stream) {
    // Logging stays off until the general settings are loaded again.
    Log = 0;
    log_file_in_use.clear();
    return;
  }
  log_file_in_use = name;
  if (Log >= 2) {
    char line[128];
    int n = snprintf(line, sizeof line, "\n%s %s log started\n", log_time_stamp(), PRODUCT_TITLE);
    write_text(line, static_cast<size_t>(n));
  }
}

// Formats and writes one line under log_lock, with its time stamp.
static void write_line(int flush, const char* format, va_list args) {
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
  write_text(shown, k);
  if (flush) fflush(log_stream);
}

static void write_formatted(int flush, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void write_formatted(int flush, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_line(flush, format, args);
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

void log_line(uint32_t level, int flush, const char* format, ...) {
  if (Log < level) return;
  std::lock_guard<std::mutex> hold(log_lock);
  if (!log_stream) return;
  if (refusals_suppressed) report_suppressed(refusal_clock());
  va_list args;
  va_start(args, format);
  write_line(flush, format, args);
  va_end(args);
}

void log_refusal_line(uint32_t level, int flush, const char* format, ...) {
  if (Log < level) return;
  std::lock_guard<std::mutex> hold(log_lock);
  if (!log_stream) return;
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
  write_line(flush, format, args);
  va_end(args);
}
