#include "platform/win32/windows_api.h"

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

}  // namespace chimewell::platform
