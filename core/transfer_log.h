// The transfer log: a file per month or day in the program's directory, or
// the console. Every line starts with the local time stamp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>

constexpr const char* PRODUCT_TITLE = "Orvanel TFTP Server 1.4.5";

extern std::mutex log_lock;
extern FILE* log_stream;  // nullptr: no log

// The clock of time stamps and file names; tests replace it.
extern time_t (*log_clock)(time_t*);

// Refusal lines written in one second at most; the rest are counted.
constexpr unsigned LOG_REFUSALS_PER_SECOND = 50;

// Whole seconds on the monotonic clock, for the refusal limit; tests replace it.
extern int64_t (*refusal_clock)();

// Sends the log to standard output from now on (console mode).
void log_to_console();

// Opens the first file, switches files when the date in the name changed,
// or closes the log when the trace level is 0. Takes log_lock.
void reopen_log();

// Closes a log file at server stop; the console stays. Takes log_lock.
void close_log();

// Current local time as "%Y-%m-%d %H:%M:%S". Call only under log_lock.
const char* log_time_stamp();

// Name of the log file for the given local time and CreateLog setting.
void log_file_name(const struct tm* local, int daily, char* buffer, size_t size);

// Writes one line at trace level `level` and above: the time stamp, then the
// formatted text. Files are written in the system's text mode (lines end in
// LF on Linux, CR LF on Windows). flush: force the stream out.
void log_line(uint32_t level, int flush, const char* format, ...) __attribute__((format(printf, 3, 4)));

// What a line reports, for the priority the system journal gives it.
constexpr int LOG_KIND_INFO = 0;           // results, start-up and trace lines
constexpr int LOG_KIND_FAILURE = 1;        // a transfer, request or setting that failed
constexpr int LOG_KIND_START_FAILURE = 2;  // the server cannot start

// The kind of a line log_line writes, from its text after the time stamp:
// the failure columns ("  Timeout", "  Abort", "  Error") and lines ending
// in "failed" are failures, everything else is information. Lines whose
// text does not tell go through log_kind_line.
int log_line_kind(const char* text);

// The journal priority of a kind (syslog's numbers: 6, 4, 3).
int log_kind_priority(int kind);

// log_line with the kind given.
void log_kind_line(int kind, uint32_t level, int flush, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// From now on every line also goes to the system journal, with the priority
// of its kind, when standard error is the journal's stream (the service
// started by systemd). Not for the console: its lines reach the journal as
// they are. Returns 1 when the journal is attached.
int log_to_journal_if_attached();

// A log file that cannot be opened is reported once, on standard error and
// in the system log, naming the file and the reason; the open is tried again
// at the next line, and a later failure is reported again only after an
// open has succeeded in between. This is the report; tests replace it.
extern void (*log_open_failure_report)(const char* path, const char* reason);

// log_line for the lines the server loop writes per request that does not
// become a transfer (its request line, its refusal, an ignored request): at
// most LOG_REFUSALS_PER_SECOND of them in a second; once a later second has
// begun, the next line of any kind is preceded by
// "%s %u refusal log lines suppressed\n" for those left out. Only lines at
// or below the trace level count.
void log_refusal_line(uint32_t level, int flush, const char* format, ...) __attribute__((format(printf, 3, 4)));
