// The day-rollover timer: armed to fire five seconds after the next local
// midnight, it remembers the day of month of the moment it was armed.
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "platform/message_loop.h"

namespace chimewell::today {

// Milliseconds from `now` to the next local midnight, plus 5000, reckoned on
// the local clock (a day with a daylight-saving shift is not corrected).
std::uint32_t MillisecondsToNextDay(const platform::LocalDateTime& now);

class DayTimer {
 public:
  // `timer` is created disabled with the interval 5000 and the tag 0.
  DayTimer(platform::Timer& timer, const platform::Clock& clock);

  // Stores today's day of month as the tag, sets the interval and enables
  // the timer. Returns the interval.
  std::uint32_t Arm();
  void Disable() { timer_.SetEnabled(false); }
  // True when the local day of month differs from the tag (month and year
  // play no part).
  bool DayChanged() const { return clock_.LocalNow().day != tag_; }
  bool Armed() const { return tag_ != 0; }
  int Tag() const { return tag_; }

 private:
  platform::Timer& timer_;
  const platform::Clock& clock_;
  int tag_ = 0;
};

}  // namespace chimewell::today
