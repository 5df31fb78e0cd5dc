#include "today/day_timer.h"

#include <gtest/gtest.h>

namespace chimewell::today {
namespace {

TEST(MillisecondsToNextDay, CountsToFiveSecondsAfterLocalMidnight) {
  struct Case {
    platform::LocalDateTime now;
    std::uint32_t interval;
  };
  const Case cases[] = {
      {{2024, 1, 31, 10, 0, 0, 0}, 50'405'000},
      {{2024, 1, 31, 23, 59, 59, 0}, 6'000},
      {{2024, 2, 1, 0, 0, 5, 0}, 86'400'000},
      {{2024, 2, 1, 0, 0, 0, 0}, 86'405'000},
      {{2024, 2, 1, 23, 59, 59, 999}, 5'001},
      {{2024, 3, 31, 12, 30, 15, 250}, 41'389'750},  // a daylight-saving day: local clock only
  };
  for (const Case& c : cases) EXPECT_EQ(MillisecondsToNextDay(c.now), c.interval);
}

class FakeClock : public platform::Clock {
 public:
  platform::LocalDateTime now{2024, 1, 5, 10, 0, 0, 0};
  platform::LocalDateTime LocalNow() const override { return now; }
  std::int64_t UnixSeconds() const override { return 0; }
};

class FakeTimer : public platform::Timer {
 public:
  std::uint32_t interval = 1000;
  bool enabled = true;
  void SetInterval(std::uint32_t milliseconds) override { interval = milliseconds; }
  std::uint32_t Interval() const override { return interval; }
  void SetEnabled(bool on) override { enabled = on; }
  bool Enabled() const override { return enabled; }
};

TEST(DayTimer, RemembersTheDayOfMonthOnlyWhenArmed) {
  FakeClock clock;
  FakeTimer timer;
  DayTimer day(timer, clock);
  EXPECT_FALSE(timer.enabled);
  EXPECT_EQ(timer.interval, 5000u);
  EXPECT_EQ(day.Tag(), 0);
  EXPECT_FALSE(day.Armed());

  EXPECT_EQ(day.Arm(), 50'405'000u);
  EXPECT_TRUE(timer.enabled);
  EXPECT_EQ(timer.interval, 50'405'000u);
  EXPECT_EQ(day.Tag(), 5);

  const struct {
    platform::LocalDateTime now;
    bool changed;
  } firings[] = {
      {{2024, 1, 6, 0, 0, 5, 0}, true},     // the next day
      {{2024, 1, 5, 23, 59, 59, 0}, false}, // early, same day
      {{2024, 1, 4, 0, 0, 5, 0}, true},     // clock set back a day
      {{2024, 2, 5, 0, 0, 5, 0}, false},    // the 5th of the next month looks the same
  };
  for (const auto& firing : firings) {
    clock.now = firing.now;
    EXPECT_EQ(day.DayChanged(), firing.changed);
  }
}

}  // namespace
}  // namespace chimewell::today
