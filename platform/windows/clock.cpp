#include "platform/clock.h"

#include <windows.h>

#include <cstring>

int64_t monotonic_now_ms() { return static_cast<int64_t>(GetTickCount64()); }

int local_calendar_time(time_t when, struct tm* out) {
  if (localtime_s(out, &when) == 0) return 1;
  memset(out, 0, sizeof *out);
  return 0;
}
