// The two fixed statements that decide what is due today. Both take no
// parameters: 'now', today and local time come from SQLite's date functions
// at the moment the statement runs, in the machine's time zone (TZ on POSIX).
// The texts are run and dumped exactly as they stand, every blank included;
// clauses that read the UTC date, or local time read as UTC, are deliberate
// parts of the result and must not be "corrected".
#pragma once

#include <string>

namespace chimewell::today {

// The timed reminders (ReminderType 0) due today. Result columns:
// StartTimeStr, FinalNotifyTime (the integer StartTime for a one-off reminder,
// a text of Unix seconds otherwise), FinalNotifyTimeStr, then every column of
// Reminders. Ordered by FinalNotifyTime descending under SQLite's mixed-type
// order: all repeating reminders (texts) before all one-off ones (integers).
const std::string& TodayReminderSql();

// The day-level entries (ReminderType 1) that fall on today. Result columns:
// CalendarID, ItemID, in the order SQLite scans the table.
const std::string& TodayDaysMatterSql();

}  // namespace chimewell::today
