// The local wall clock to the millisecond, behind an interface tests can pin.
#pragma once

#include <compare>
#include <cstdint>

namespace chimewell::platform {

struct LocalDateTime {
  int year = 0;
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  friend auto operator<=>(const LocalDateTime&, const LocalDateTime&) = default;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalDateTime LocalNow() const = 0;
  // The current instant in whole seconds since 1970-01-01 00:00:00 UTC.
  virtual std::int64_t UnixSeconds() const = 0;
};

// The machine's local clock (GetLocalTime; localtime_r on POSIX).
const Clock& SystemClock();

}  // namespace chimewell::platform
