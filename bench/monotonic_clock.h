// The clock of the benchmark helpers: waits and deadlines on the monotonic
// clock, which a change of the wall clock does not move.
#pragma once

#include <time.h>

#include <cstdint>

inline int64_t monotonic_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

inline double monotonic_seconds() { return static_cast<double>(monotonic_ns()) / 1e9; }
