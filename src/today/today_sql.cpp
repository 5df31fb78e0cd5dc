#include "today/today_sql.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "today/local_instant.h"

namespace chimewell::today {

// Split into adjacent literals only for line length: each joined text is one
// line, and every run of blanks in it is part of the statement (the dump
// files show the statements as they ran).

const std::string& TodayReminderSql() {
  // Everything on the local calendar: today is date('now', 'localtime'), and
  // a repeating reminder's time today is its local time of day on today's
  // local date, turned into an instant by local_unixepoch (see
  // RegisterTodaySqlFunctions). FinalNotifyTimeStr is read back from the very
  // instant of FinalNotifyTime, so the two always name the same moment.
  static const std::string text =
      "SELECT datetime(StartTime, 'unixepoch', 'localtime') AS StartTimeStr, "
      "CASE WHEN Repeat = 0 THEN StartTime "
      "ELSE local_unixepoch(date('now', 'localtime'), time(StartTime, 'unixepoch', 'localtime')) "
      "END AS FinalNotifyTime, "
      "datetime(CASE WHEN Repeat = 0 THEN StartTime "
      "ELSE local_unixepoch(date('now', 'localtime'), time(StartTime, 'unixepoch', 'localtime')) "
      "END, 'unixepoch', 'localtime') AS FinalNotifyTimeStr, "
      "* FROM Reminders "
      "WHERE ReminderType = 0 AND Enabled = 1 "
      "AND ((RepeatEnd=0) or (date(RepeatEnd, 'unixepoch', 'localtime') >= date('now', 'localtime'))) "
      "AND ((LastNotified IS NULL) or (strftime('%Y-%m-%d', datetime(LastNotified, 'unixepoch', "
      "'localtime')) <> strftime('%Y-%m-%d', 'now', 'localtime'))) "
      "AND ((Repeat = 0 AND LastNotified IS NULL "
      "AND date(StartTime, 'unixepoch', 'localtime') = date('now', 'localtime')) "
      "OR (Repeat <> 0 AND date(StartTime, 'unixepoch', 'localtime') <= date('now', 'localtime') "
      "AND (Repeat = 1 "
      "OR (Repeat = 2 AND strftime('%w', 'now', 'localtime') NOT IN ('0', '6')) "
      "OR (Repeat = 3 AND strftime('%w', StartTime, 'unixepoch', 'localtime') = strftime('%w', 'now', 'localtime')) "
      "OR (Repeat = 4 AND strftime('%d', StartTime, 'unixepoch', 'localtime') = strftime('%d', 'now', 'localtime')) "
      "OR (Repeat = 5 AND strftime('%m-%d', StartTime, 'unixepoch', 'localtime') = "
      "strftime('%m-%d', 'now', 'localtime'))))) "
      "ORDER BY Repeat = 0, FinalNotifyTime DESC";
  return text;
}

const std::string& TodayDaysMatterSql() {
  static const std::string text =
      "SELECT CalendarID,ItemID FROM Reminders WHERE ReminderType = 1 AND Enabled = 1   "
      "AND ((LastNotified IS NULL) or (strftime('%Y-%m-%d', datetime(lastnotified, "
      "'unixepoch', 'localtime')) <> strftime('%Y-%m-%d', 'now', 'localtime'))) AND (     "
      "(Repeat = 0 AND (strftime('%Y-%m-%d', StartTime, 'unixepoch','localtime') = "
      "strftime('%Y-%m-%d', 'now', 'localtime')))      OR (Repeat = 4 AND strftime('%d', "
      "StartTime, 'unixepoch','localtime') = strftime('%d', 'now', 'localtime'))      OR "
      "(Repeat = 5 AND strftime('%m-%d', StartTime, 'unixepoch','localtime') = "
      "strftime('%m-%d', 'now', 'localtime'))      )";
  return text;
}

namespace {

// Reads `count` decimal digits at `at`; nullopt when one is not a digit.
std::optional<int> Digits(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// "YYYY-MM-DD" and "HH:MM:SS", as SQLite's date() and time() write them, as
// seconds counted as if the local date and time were UTC.
std::optional<std::int64_t> WallSeconds(std::string_view date, std::string_view time) {
  if (date.size() != 10 || date[4] != '-' || date[7] != '-') return std::nullopt;
  if (time.size() != 8 || time[2] != ':' || time[5] != ':') return std::nullopt;
  const auto y = Digits(date, 0, 4), mo = Digits(date, 5, 2), d = Digits(date, 8, 2);
  const auto h = Digits(time, 0, 2), mi = Digits(time, 3, 2), s = Digits(time, 6, 2);
  if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
  using namespace std::chrono;
  const year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)}, day{static_cast<unsigned>(*d)}};
  if (!ymd.ok() || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
  return sys_days{ymd}.time_since_epoch().count() * std::int64_t{86400} + *h * 3600 + *mi * 60 + *s;
}

std::string_view TextArgument(sqlite3_value* value) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
  return text != nullptr ? std::string_view(text, static_cast<std::size_t>(sqlite3_value_bytes(value)))
                         : std::string_view();
}

// local_unixepoch(date, time): NULL when either is NULL or not in SQLite's
// own form (a reminder without a StartTime has no time today).
void LocalUnixEpoch(sqlite3_context* context, int, sqlite3_value** arguments) {
  const auto wall = WallSeconds(TextArgument(arguments[0]), TextArgument(arguments[1]));
  if (!wall) {
    sqlite3_result_null(context);
    return;
  }
  try {
    sqlite3_result_int64(context, InstantOfLocalTime(*wall, &platform::LocalUtcOffsetAt));
  } catch (const std::exception& error) {
    sqlite3_result_error(context, error.what(), -1);
  }
}

}  // namespace

void RegisterTodaySqlFunctions(sqlite3* db) {
  // The zone is read once per statement, not at every conversion (several
  // for every reminder): every row of one rebuild has the same zone, and a
  // zone changed while the service runs counts from the next rebuild on.
  platform::ReloadLocalTimeZone();
  // SQLite's own 'utc' modifier cannot turn today's local time into an
  // instant at a daylight-saving switch: it moves a skipped time backward
  // and takes the second of a doubled one. This function decides there by
  // the platform's zone conversion, the one 'localtime' reads back with.
  const int result = sqlite3_create_function_v2(db, "local_unixepoch", 2, SQLITE_UTF8 | SQLITE_INNOCUOUS,
                                                nullptr, &LocalUnixEpoch, nullptr, nullptr, nullptr);
  if (result != SQLITE_OK) {
    throw std::runtime_error(std::string("cannot register local_unixepoch: ") + sqlite3_errstr(result));
  }
}

}  // namespace chimewell::today
