// The clocks: the monotonic one that every wait and deadline is measured
// on, and the conversion of wall-clock time to local calendar time.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds on the monotonic clock (from an arbitrary start).
int64_t monotonic_now_ms();

// What a system wait that counts whole milliseconds is given to end at
// deadline_ms: 0 once it has passed, else the time left rounded up (so the
// deadline has passed when the wait ends), at most a day.
inline int wait_milliseconds(int64_t deadline_ms) {
  int64_t left = deadline_ms - monotonic_now_ms();
  if (left <= 0) return 0;
  return left > 86400000 ? 86400000 : static_cast<int>(left) + 1;
}

// Fills *out with the local calendar time of `when`; thread-safe.
// Returns 1, or 0 (*out zeroed) when the time cannot be converted.
int local_calendar_time(time_t when, struct tm* out);
