// The two clocks of the POSIX loop, in nanoseconds.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>

namespace chimewell::platform::posix {

// Counts time spent asleep: what timer intervals are measured on.
inline std::int64_t BootTimeNs() {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Stops while asleep: what time limits on peers are measured on.
inline std::int64_t MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

inline std::int64_t MonotonicNsAfter(std::chrono::nanoseconds span) {
  return MonotonicNs() + span.count();
}

}  // namespace chimewell::platform::posix
