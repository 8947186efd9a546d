// The system's event log (syslog at error priority on Linux), and the
// journal that systemd keeps of a service's standard error.
#pragma once

#include <cstddef>

// Writes one error entry under the identity `source` carrying both texts.
void write_event_log_error(const char* source, const char* first_text, const char* second_text);

// Priorities of journal lines (syslog's numbers).
constexpr int JOURNAL_ERROR = 3;
constexpr int JOURNAL_WARNING = 4;
constexpr int JOURNAL_INFO = 6;

// 1 when standard error is the journal's stream: systemd names that stream
// in JOURNAL_STREAM ("device:inode"). Always 0 on Windows.
int journal_attached();

// The line as a journal stream takes it with its priority: "<N>" and the
// text (length bytes, no line end), then "\n", cut to fit size bytes with
// its zero. Returns the length written.
size_t format_journal_line(int priority, const char* text, size_t length, char* out, size_t size);

// Writes one line to standard error in that form, in one write. Nothing on
// Windows.
void write_journal_line(int priority, const char* text, size_t length);
