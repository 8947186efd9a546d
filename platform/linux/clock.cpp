#include "platform/clock.h"

#include <cstring>

int64_t monotonic_now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int local_calendar_time(time_t when, struct tm* out) {
  if (localtime_r(&when, out)) return 1;
  memset(out, 0, sizeof *out);
  return 0;
}
