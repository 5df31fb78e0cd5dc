#include "today/TodaySql.h"

namespace chimewell::today {

// Split into adjacent literals only for line length: the joined text is one
// line, and every run of blanks in it is part of the statement.

const std::string& TodayReminderSql() {
  static const std::string text =
      "SELECT   datetime(StartTime, 'unixepoch','localtime') AS StartTimeStr,   CASE     "
      "WHEN Repeat = 0 THEN StartTime     ELSE strftime('%s', datetime(date('now'), "
      "time(StartTime,'unixepoch')))    END AS FinalNotifyTime,  CASE    WHEN Repeat = 0 "
      "THEN datetime(StartTime,'unixepoch','localtime')    ELSE "
      "datetime(datetime(date('now', 'localtime'), "
      "time(StartTime,'unixepoch','localtime')))   END AS FinalNotifyTimeStr,  *  FROM "
      "Reminders   WHERE  ReminderType=0  AND Enabled = 1  AND StartTime < strftime('%s', "
      "datetime('now', 'localtime'))  AND ((RepeatEnd=0) or (date(RepeatEnd, 'unixepoch', "
      "'localtime') >= date('now', 'localtime')))  AND ((LastNotified IS NULL) or "
      "(strftime('%Y-%m-%d', datetime(LastNotified, 'unixepoch', 'localtime')) <> "
      "strftime('%Y-%m-%d', 'now', 'localtime')))  AND (       (Repeat = 0 AND "
      "LastNotified IS NULL AND (date(datetime(StartTime,'unixepoch','localtime')) = "
      "date('now', 'localtime')))       OR (Repeat = 1)       OR (Repeat = 2 AND "
      "strftime('%w','now', 'localtime') != '6' AND strftime('%w','now', 'localtime')  != "
      "'0')       OR (Repeat = 3 AND strftime('%w', StartTime, 'unixepoch','localtime') = "
      "strftime('%w', datetime('now', 'localtime')))       OR (Repeat = 4 AND "
      "strftime('%d', StartTime, 'unixepoch','localtime') = strftime('%d', datetime('now', "
      "'localtime')))       OR (Repeat = 5 AND strftime('%m-%d', StartTime, "
      "'unixepoch','localtime') = strftime('%m-%d', datetime('now', 'localtime')))     )  "
      "AND FinalNotifyTime<=strftime('%s',datetime(date('now', 'localtime'), "
      "time(StartTime,'unixepoch','localtime')))   order by FinalNotifyTime desc";
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

}  // namespace chimewell::today
