#include "today/local_instant.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace chimewell::today {
namespace {

// A made-up zone west of UTC with both kinds of switch on round numbers:
// -05:00, then -04:00 from instant 1000000 (local 02:00 becomes 03:00), then
// -05:00 again from instant 2000000 (local 02:00 comes twice).
constexpr std::int64_t kH = 3600;
constexpr std::int64_t kForward = 1000000;
constexpr std::int64_t kBack = 2000000;
std::int64_t MadeUpZone(std::int64_t instant) { return instant >= kForward && instant < kBack ? -4 * kH : -5 * kH; }

TEST(InstantOfLocalTime, SwitchesOfAZoneWestOfUtc) {
  // Wall-clock times are local readings: instant + offset.
  const std::int64_t gap_start = kForward - 5 * kH;    // the first wall-clock second skipped
  const std::int64_t doubled_start = kBack - 5 * kH;   // the first wall-clock second read twice
  struct Case {
    const char* name;
    std::int64_t wall;
    std::int64_t instant;
  } cases[] = {
      {"long before any switch", 100000, 100000 + 5 * kH},
      {"last second before the gap", gap_start - 1, kForward - 1},
      {"first skipped second moves forward by the gap", gap_start, kForward},
      {"middle of the gap moves forward by the gap", gap_start + kH / 2, kForward + kH / 2},
      {"first second after the gap", gap_start + kH, kForward},
      {"summer time", 1500000, 1500000 + 4 * kH},
      {"doubled second takes the first", doubled_start, kBack - kH},
      {"doubled half hour takes the first", doubled_start + kH / 2, kBack - kH / 2},
      {"first second read once again", doubled_start + kH, kBack + kH},
      {"last second read once before", doubled_start - 1, kBack - kH - 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(InstantOfLocalTime(c.wall, &MadeUpZone), c.instant) << c.name;
  }
}

}  // namespace
}  // namespace chimewell::today
