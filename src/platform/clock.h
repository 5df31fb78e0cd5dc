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

// Seconds east of UTC of the machine's local time at the given instant, under
// the zone rules in force then. It is the C library's localtime, the same
// conversion SQLite's 'localtime' modifier makes, so an instant worked out
// with it reads back through SQLite as the wall-clock time it was made from.
// Throws std::runtime_error when the instant cannot be converted.
std::int64_t LocalUtcOffsetAt(std::int64_t unix_seconds);

// Reads the machine's time zone again: conversions made after this, by
// LocalUtcOffsetAt and SQLite's 'localtime' alike, follow a zone changed
// while the process runs. Conversions in between keep the zone last read, so
// calling this once before a run of conversions gives them all one zone.
void ReloadLocalTimeZone();

}  // namespace chimewell::platform
