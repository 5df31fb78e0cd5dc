#include "earlier_today.h"

#include <algorithm>
#include <ctime>

#include "testing/scoped_time_zone.h"

namespace chimewell::e2e {

EarlierToday DailyEarlierToday(const std::string& zone, const std::string& item) {
  const testing_support::ScopedTimeZone in_zone(zone);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  const std::time_t midnight = now - (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
  // Ten minutes ago, or local midnight when the day is younger than that.
  const std::time_t start = std::max(midnight, now - 600);
  std::tm start_local{};
  ::localtime_r(&start, &start_local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &start_local);

  EarlierToday earlier;
  earlier.start = start;
  // No pause first: chimectl run waits for the service to be ready.
  earlier.session = R"({"method":"Reminder.Append","data":{"CalendarID":"ny","ItemID":")" + item +
                    R"(","ReminderType":0,"Enabled":1,"StartTime":)" + std::to_string(start) +
                    R"(,"Repeat":1,"RepeatEnd":0}})" "\n!timechange\n";
  earlier.element = R"({"ItemID":")" + item + R"(","RemindTime":)" + std::to_string(start) +
                    R"(,"RemindTimeStr":")" + text + R"("})";
  return earlier;
}

}  // namespace chimewell::e2e
