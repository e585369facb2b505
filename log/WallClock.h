// The wall clock of the core, in nanoseconds since the epoch.
//
// Read with clock_gettime, whose seconds are 64-bit on the camera once the build asks for a
// 64-bit time_t, rather than through the C++ library's system clock, which there may still count
// 32-bit seconds and so go wrong from 2038-01-19. Any thread.
#pragma once

#include <time.h>

#include <cstdint>

namespace kv::core {

static_assert(sizeof(time_t) == 8, "the wall clock must count seconds past 2038");

// `time` as nanoseconds since the epoch.
inline int64_t timespecNanos(const timespec& time) {
  return int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
}

inline int64_t wallClockNanos() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return timespecNanos(now);
}

}  // namespace kv::core
