#include "today/day_timer.h"

namespace chimewell::today {

std::uint32_t MillisecondsToNextDay(const platform::LocalDateTime& now) {
  const std::uint32_t elapsed = static_cast<std::uint32_t>(
      ((now.hour * 60 + now.minute) * 60 + now.second) * 1000 + now.millisecond);
  return 86'400'000u - elapsed + 5000u;
}

DayTimer::DayTimer(platform::Timer& timer, const platform::Clock& clock)
    : timer_(timer), clock_(clock) {
  timer_.SetEnabled(false);
  timer_.SetInterval(5000);
}

std::uint32_t DayTimer::Arm() {
  const platform::LocalDateTime now = clock_.LocalNow();
  tag_ = now.day;
  const std::uint32_t interval = MillisecondsToNextDay(now);
  timer_.SetInterval(interval);
  timer_.SetEnabled(true);
  return interval;
}

}  // namespace chimewell::today
