// The two fixed statements that decide what is due today. Both take no
// parameters: 'now', today and local time come from SQLite's date functions
// at the moment the statement runs, in the machine's time zone (TZ on POSIX).
// Every date they compare is a local date. The texts are run and dumped
// exactly as they stand, every blank included.
#pragma once

#include <string>

struct sqlite3;

namespace chimewell::today {

// The timed reminders (ReminderType 0) of today's local date that were not
// alerted today, whether their time has passed or not: a one-off reminder on
// its own date while it was never alerted; a repeating one on the days its
// rule gives, once the series has begun and until its RepeatEnd date.
// Result columns: StartTimeStr, FinalNotifyTime (Unix seconds: StartTime for
// a one-off reminder; for a repeating one today at StartTime's local time of
// day), FinalNotifyTimeStr (that instant as local "YYYY-MM-DD HH:MM:SS"),
// then every column of Reminders. Repeating reminders come first, then
// one-off ones, each latest first. Needs RegisterTodaySqlFunctions on the
// connection that runs it.
const std::string& TodayReminderSql();

// The day-level entries (ReminderType 1) that fall on today. Result columns:
// CalendarID, ItemID, in the order SQLite scans the table.
const std::string& TodayDaysMatterSql();

// Adds what TodayReminderSql calls to the connection:
// local_unixepoch(date, time), the instant at which the local date
// "YYYY-MM-DD" reads the wall-clock time "HH:MM:SS" (see InstantOfLocalTime).
// Reads the machine's time zone again first (platform::ReloadLocalTimeZone),
// so the statement run next converts with the zone in force now.
// Throws std::runtime_error when SQLite refuses it.
void RegisterTodaySqlFunctions(sqlite3* db);

}  // namespace chimewell::today
