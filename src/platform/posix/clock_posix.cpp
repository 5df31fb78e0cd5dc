#include <ctime>
#include <stdexcept>
#include <string>

#include "platform/clock.h"

namespace chimewell::platform {
namespace {

class PosixClock final : public Clock {
 public:
  LocalDateTime LocalNow() const override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    ::localtime_r(&now.tv_sec, &local);
    return LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                         local.tm_min,         local.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
  }
  std::int64_t UnixSeconds() const override { return static_cast<std::int64_t>(::time(nullptr)); }
};

}  // namespace

const Clock& SystemClock() {
  static const PosixClock clock;
  return clock;
}

void ReloadLocalTimeZone() { ::tzset(); }

std::int64_t LocalUtcOffsetAt(std::int64_t unix_seconds) {
  const auto instant = static_cast<std::time_t>(unix_seconds);
  std::tm local{};
  if (::localtime_r(&instant, &local) == nullptr) {
    throw std::runtime_error("no local time for " + std::to_string(unix_seconds));
  }
  return local.tm_gmtoff;
}

}  // namespace chimewell::platform
