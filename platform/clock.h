// The clocks: the monotonic one that every wait and deadline is measured
// on, and the conversion of wall-clock time to local calendar time.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds on the monotonic clock (from an arbitrary start).
int64_t monotonic_now_ms();

// Fills *out with the local calendar time of `when`; thread-safe.
// Returns 1, or 0 (*out zeroed) when the time cannot be converted.
int local_calendar_time(time_t when, struct tm* out);
