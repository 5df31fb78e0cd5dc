#include "platform/win32/windows_api.h"

#include <chrono>
#include <ctime>
#include <stdexcept>
#include <string>

#include "platform/clock.h"

namespace chimewell::platform {
namespace {

// 100-nanosecond ticks from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000;

class Win32Clock final : public Clock {
 public:
  LocalDateTime LocalNow() const override {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return LocalDateTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                         now.wMinute, now.wSecond, now.wMilliseconds};
  }
  std::int64_t UnixSeconds() const override {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const std::int64_t ticks =
        static_cast<std::int64_t>((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
    return (ticks - kUnixEpochTicks) / 10'000'000;
  }
};

}  // namespace

const Clock& SystemClock() {
  static const Win32Clock clock;
  return clock;
}

// Nothing to reload: the zone is the C runtime's own business here (see
// LocalUtcOffsetAt).
void ReloadLocalTimeZone() {}

std::int64_t LocalUtcOffsetAt(std::int64_t unix_seconds) {
  // The C runtime's localtime, not the Win32 zone functions: SQLite's
  // 'localtime' goes through it, and the two must agree on every instant.
  const __time64_t instant = unix_seconds;
  std::tm local{};
  if (::_localtime64_s(&local, &instant) != 0) {
    throw std::runtime_error("no local time for " + std::to_string(unix_seconds));
  }
  using namespace std::chrono;
  const sys_days date{year{local.tm_year + 1900} / (local.tm_mon + 1) / local.tm_mday};
  const std::int64_t wall = date.time_since_epoch().count() * std::int64_t{86400} + local.tm_hour * 3600 +
                            local.tm_min * 60 + local.tm_sec;
  return wall - unix_seconds;
}

}  // namespace chimewell::platform
