#include "testing/due_today_table.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "testing/pinned_now.h"
#include "testing/sqlite_handles.h"
#include "today/today_sql.h"

namespace chimewell::testing_support {
namespace {

// ---- the cases ---------------------------------------------------------------

// The everyday case in one zone, on Thursday 2027-01-14 (no zone in the
// table switches near it): a daily 09:00 reminder, one-off reminders early
// and late today, yesterday and tomorrow, and a rebuild at 10:00 local.
DueCase Everyday(const std::string& zone, const std::string& offset) {
  auto at = [&offset](const char* wall) { return std::string(wall) + offset; };
  return {"everyday, rebuild 10:00",
          zone,
          at("2027-01-14 10:00:00"),
          {Timed("daily09", at("2027-01-07 09:00:00"), kDaily),
           Timed("once15", at("2027-01-14 15:00:00"), kOnce),
           Timed("once07", at("2027-01-14 07:00:00"), kOnce),
           Timed("onceYesterday", at("2027-01-13 21:00:00"), kOnce),
           Timed("onceTomorrow", at("2027-01-15 09:00:00"), kOnce)},
          {{"daily09", at("2027-01-14 09:00:00"), "2027-01-14 09:00:00"},
           {"once15", at("2027-01-14 15:00:00"), "2027-01-14 15:00:00"},
           {"once07", at("2027-01-14 07:00:00"), "2027-01-14 07:00:00"}},
          {}};
}

// A rebuild five seconds after local midnight lists the whole day, each
// repeating reminder at today's instant.
DueCase JustAfterMidnight(const std::string& zone, const std::string& offset) {
  auto at = [&offset](const char* wall) { return std::string(wall) + offset; };
  return {"rebuild 00:00:05",
          zone,
          at("2027-01-14 00:00:05"),
          {Timed("daily0000", at("2027-01-07 00:00:00"), kDaily),
           Timed("daily2330", at("2027-01-07 23:30:00"), kDaily),
           Timed("weekly09", at("2027-01-07 09:00:00"), kWeekly),
           Timed("once2359", at("2027-01-14 23:59:59"), kOnce)},
          {{"daily2330", at("2027-01-14 23:30:00"), "2027-01-14 23:30:00"},
           {"weekly09", at("2027-01-14 09:00:00"), "2027-01-14 09:00:00"},
           {"daily0000", at("2027-01-14 00:00:00"), "2027-01-14 00:00:00"},
           {"once2359", at("2027-01-14 23:59:59"), "2027-01-14 23:59:59"}},
          {}};
}

constexpr const char* kKiritimati = "Pacific/Kiritimati";  // +14:00
constexpr const char* kShanghai = "Asia/Shanghai";         // +08:00
constexpr const char* kKolkata = "Asia/Kolkata";           // +05:30
constexpr const char* kBerlin = "Europe/Berlin";           // +01:00, +02:00 from 28 March to 31 October 2027
constexpr const char* kUtc = "UTC";
constexpr const char* kNewYork = "America/New_York";       // -05:00 in January
constexpr const char* kMinus12 = "Etc/GMT+12";             // -12:00

// Repeating rows of the Berlin switch days, begun in winter and in summer.
const Row kBerlinDaily0230 = Timed("daily0230", "2027-01-10 02:30:00+01:00", kDaily);
const Row kBerlinDaily0130 = Timed("daily0130", "2026-07-01 01:30:00+02:00", kDaily);
const Row kBerlinDaily09 = Timed("daily09", "2027-01-10 09:00:00+01:00", kDaily);

}  // namespace

std::vector<DueCase> DueTodayCases() {
  std::vector<DueCase> cases;
  for (const auto& [zone, offset] : std::vector<std::pair<const char*, const char*>>{
           {kKiritimati, "+14:00"}, {kShanghai, "+08:00"}, {kKolkata, "+05:30"}, {kBerlin, "+01:00"},
           {kUtc, "+00:00"}, {kNewYork, "-05:00"}, {kMinus12, "-12:00"}}) {
    cases.push_back(Everyday(zone, offset));
    cases.push_back(JustAfterMidnight(zone, offset));
  }

  const std::vector<DueCase> fixed = {
      // West of UTC, late in the day: today's occurrences, not tomorrow's.
      {"west, rebuild 21:00", kNewYork, "2027-01-14 21:00:00-05:00",
       {Timed("daily09", "2027-01-07 09:00:00-05:00", kDaily),
        Timed("daily20", "2027-01-07 20:00:00-05:00", kDaily),
        Timed("daily2230", "2027-01-07 22:30:00-05:00", kDaily)},
       {{"daily2230", "2027-01-14 22:30:00-05:00", "2027-01-14 22:30:00"},
        {"daily20", "2027-01-14 20:00:00-05:00", "2027-01-14 20:00:00"},
        {"daily09", "2027-01-14 09:00:00-05:00", "2027-01-14 09:00:00"}},
       {}},

      // Daylight-saving time: a repeating reminder keeps its wall-clock time.
      {"Berlin summer day, begun in winter", kBerlin, "2027-07-14 12:00:00+02:00",
       {kBerlinDaily09},
       {{"daily09", "2027-07-14 09:00:00+02:00", "2027-07-14 09:00:00"}},
       {}},
      {"Berlin spring forward: 02:30 moves to 03:30", kBerlin, "2027-03-28 10:00:00+02:00",
       {kBerlinDaily0230, kBerlinDaily0130, kBerlinDaily09},
       {{"daily09", "2027-03-28 09:00:00+02:00", "2027-03-28 09:00:00"},
        {"daily0230", "2027-03-28 03:30:00+02:00", "2027-03-28 03:30:00"},
        {"daily0130", "2027-03-28 01:30:00+01:00", "2027-03-28 01:30:00"}},
       {}},
      {"Berlin spring forward, rebuild 00:00:05 before the switch", kBerlin, "2027-03-28 00:00:05+01:00",
       {kBerlinDaily0230, kBerlinDaily09},
       {{"daily09", "2027-03-28 09:00:00+02:00", "2027-03-28 09:00:00"},
        {"daily0230", "2027-03-28 03:30:00+02:00", "2027-03-28 03:30:00"}},
       {}},
      {"Berlin fall back: 02:30 takes the first", kBerlin, "2027-10-31 10:00:00+01:00",
       {kBerlinDaily0230, kBerlinDaily0130, kBerlinDaily09},
       {{"daily09", "2027-10-31 09:00:00+01:00", "2027-10-31 09:00:00"},
        {"daily0230", "2027-10-31 02:30:00+02:00", "2027-10-31 02:30:00"},
        {"daily0130", "2027-10-31 01:30:00+02:00", "2027-10-31 01:30:00"}},
       {}},
      {"Berlin fall back, one-off in the second 02:30", kBerlin, "2027-10-31 10:00:00+01:00",
       {Timed("once0230b", "2027-10-31 02:30:00+01:00", kOnce)},
       {{"once0230b", "2027-10-31 02:30:00+01:00", "2027-10-31 02:30:00"}},
       {}},

      // Each repeat code on Monday 2027-03-15.
      {"repeat codes on a Monday", kShanghai, "2027-03-15 10:00:00+08:00",
       {Timed("weekdays0700", "2027-03-05 07:00:00+08:00", kWeekdays),
        Timed("weekly0710", "2027-03-01 07:10:00+08:00", kWeekly),
        Timed("weeklyTuesday", "2027-03-02 07:20:00+08:00", kWeekly),
        Timed("monthly0730", "2027-01-15 07:30:00+08:00", kMonthly),
        Timed("monthly14th", "2027-01-14 07:40:00+08:00", kMonthly),
        Timed("yearly0750", "2026-03-15 07:50:00+08:00", kYearly),
        Timed("yearly16th", "2026-03-16 07:55:00+08:00", kYearly),
        Timed("repeat6", "2027-01-01 08:00:00+08:00", 6),
        Timed("startsTomorrow", "2027-03-16 08:10:00+08:00", kDaily),
        Timed("startsTonight", "2027-03-15 23:00:00+08:00", kDaily),
        Timed("off", "2027-01-01 08:20:00+08:00", kDaily).Enabled(0),
        Timed("offNull", "2027-01-01 08:30:00+08:00", kDaily).Enabled(std::nullopt),
        Timed("enabled2", "2027-01-01 08:40:00+08:00", kDaily).Enabled(2),
        Timed("startNull", "", kDaily)},
       {{"startsTonight", "2027-03-15 23:00:00+08:00", "2027-03-15 23:00:00"},
        {"yearly0750", "2027-03-15 07:50:00+08:00", "2027-03-15 07:50:00"},
        {"monthly0730", "2027-03-15 07:30:00+08:00", "2027-03-15 07:30:00"},
        {"weekly0710", "2027-03-15 07:10:00+08:00", "2027-03-15 07:10:00"},
        {"weekdays0700", "2027-03-15 07:00:00+08:00", "2027-03-15 07:00:00"}},
       {}},
      {"weekdays not on a Saturday", kShanghai, "2027-03-20 10:00:00+08:00",
       {Timed("weekdays0700", "2027-03-05 07:00:00+08:00", kWeekdays)},
       {},
       {}},
      {"weekdays on a Monday that is Sunday in UTC", kShanghai, "2027-03-22 00:30:00+08:00",
       {Timed("weekdays0700", "2027-03-05 07:00:00+08:00", kWeekdays)},
       {{"weekdays0700", "2027-03-22 07:00:00+08:00", "2027-03-22 07:00:00"}},
       {}},

      // Alerts compare local dates; a one-off reminder is listed until alerted.
      {"alerted today, yesterday, later", kShanghai, "2027-03-15 10:00:00+08:00",
       {Timed("once09", "2027-03-15 09:00:00+08:00", kOnce),
        Timed("onceAlertedToday", "2027-03-15 09:05:00+08:00", kOnce).Alerted("2027-03-15 09:05:00+08:00"),
        Timed("onceAlertedYesterday", "2027-03-15 09:10:00+08:00", kOnce).Alerted("2027-03-14 23:30:00+08:00"),
        Timed("dailyAlertedYesterday", "2027-01-10 09:20:00+08:00", kDaily).Alerted("2027-03-14 23:30:00+08:00"),
        Timed("dailyAlertedToday", "2027-01-10 09:30:00+08:00", kDaily).Alerted("2027-03-15 00:30:00+08:00"),
        Timed("dailyAlertedLater", "2027-01-10 09:40:00+08:00", kDaily).Alerted("2027-03-16 08:00:00+08:00")},
       {{"dailyAlertedLater", "2027-03-15 09:40:00+08:00", "2027-03-15 09:40:00"},
        {"dailyAlertedYesterday", "2027-03-15 09:20:00+08:00", "2027-03-15 09:20:00"},
        {"once09", "2027-03-15 09:00:00+08:00", "2027-03-15 09:00:00"}},
       {}},
      {"alert dates are local dates, west", kNewYork, "2027-01-14 10:00:00-05:00",
       {Timed("dailyAlertedYesterday", "2027-01-07 20:00:00-05:00", kDaily).Alerted("2027-01-13 23:30:00-05:00"),
        Timed("dailyAlertedToday", "2027-01-07 20:10:00-05:00", kDaily).Alerted("2027-01-14 00:30:00-05:00")},
       {{"dailyAlertedYesterday", "2027-01-14 20:00:00-05:00", "2027-01-14 20:00:00"}},
       {}},

      // RepeatEnd: its local date, today or later.
      {"RepeatEnd today at any hour, not yesterday, not NULL", kShanghai, "2027-03-15 10:00:00+08:00",
       {Timed("endsTodayEarly", "2027-01-10 09:00:00+08:00", kDaily).Ends("2027-03-15 00:30:00+08:00"),
        Timed("endsTodayLate", "2027-01-10 09:10:00+08:00", kDaily).Ends("2027-03-15 23:59:59+08:00"),
        Timed("endedYesterday", "2027-01-10 09:20:00+08:00", kDaily).Ends("2027-03-14 23:59:59+08:00"),
        Timed("endNull", "2027-01-10 09:30:00+08:00", kDaily).NullEnd(),
        Timed("onceEndedYesterday", "2027-03-15 11:00:00+08:00", kOnce).Ends("2027-03-14 12:00:00+08:00")},
       {{"endsTodayLate", "2027-03-15 09:10:00+08:00", "2027-03-15 09:10:00"},
        {"endsTodayEarly", "2027-03-15 09:00:00+08:00", "2027-03-15 09:00:00"}},
       {}},
      {"RepeatEnd by local date, west", kNewYork, "2027-01-14 10:00:00-05:00",
       {Timed("endedYesterday", "2027-01-07 20:20:00-05:00", kDaily).Ends("2027-01-13 23:00:00-05:00"),
        Timed("endsToday", "2027-01-07 20:30:00-05:00", kDaily).Ends("2027-01-14 00:30:00-05:00")},
       {{"endsToday", "2027-01-14 20:30:00-05:00", "2027-01-14 20:30:00"}},
       {}},

      // Day of month and month-day.
      {"31st monthly on 31 March", kShanghai, "2027-03-31 10:00:00+08:00",
       {Timed("monthly31", "2027-01-31 09:00:00+08:00", kMonthly),
        Day("day31", "2027-01-31 00:00:00+08:00", kMonthly)},
       {{"monthly31", "2027-03-31 09:00:00+08:00", "2027-03-31 09:00:00"}},
       {"day31"}},
      {"31st monthly not on 30 April", kShanghai, "2027-04-30 10:00:00+08:00",
       {Timed("monthly31", "2027-01-31 09:00:00+08:00", kMonthly),
        Day("day31", "2027-01-31 00:00:00+08:00", kMonthly)},
       {},
       {}},
      {"29 February yearly in a leap year", kUtc, "2028-02-29 10:00:00+00:00",
       {Timed("yearly0229", "2024-02-29 09:00:00+00:00", kYearly),
        Day("day0229", "2024-02-29 00:00:00+00:00", kYearly)},
       {{"yearly0229", "2028-02-29 09:00:00+00:00", "2028-02-29 09:00:00"}},
       {"day0229"}},
      {"29 February yearly not on 28 February or 1 March", kUtc, "2027-02-28 10:00:00+00:00",
       {Timed("yearly0229", "2024-02-29 09:00:00+00:00", kYearly)},
       {},
       {}},
      {"29 February yearly not on 1 March", kUtc, "2027-03-01 10:00:00+00:00",
       {Timed("yearly0229", "2024-02-29 09:00:00+00:00", kYearly)},
       {},
       {}},

      // Order: repeating reminders first, then one-off ones, each latest first.
      {"order", kUtc, "2027-03-15 12:00:00+00:00",
       {Timed("once08", "2027-03-15 08:00:00+00:00", kOnce),
        Timed("daily09", "2027-01-10 09:00:00+00:00", kDaily),
        Timed("once23", "2027-03-15 23:00:00+00:00", kOnce),
        Timed("daily10", "2027-01-10 10:00:00+00:00", kDaily),
        Timed("once11", "2027-03-15 11:00:00+00:00", kOnce)},
       {{"daily10", "2027-03-15 10:00:00+00:00", "2027-03-15 10:00:00"},
        {"daily09", "2027-03-15 09:00:00+00:00", "2027-03-15 09:00:00"},
        {"once23", "2027-03-15 23:00:00+00:00", "2027-03-15 23:00:00"},
        {"once11", "2027-03-15 11:00:00+00:00", "2027-03-15 11:00:00"},
        {"once08", "2027-03-15 08:00:00+00:00", "2027-03-15 08:00:00"}},
       {}},

      // Day-level entries, beside timed rows that only the timed statement lists.
      {"day-level entries on Monday 15 March", kShanghai, "2027-03-15 10:00:00+08:00",
       {Day("once", "2027-03-15 00:00:00+08:00", kOnce),
        Day("onceYesterday", "2027-03-14 00:00:00+08:00", kOnce),
        Day("onceAlertedBefore", "2027-03-15 00:00:00+08:00", kOnce).Alerted("2027-03-14 20:00:00+08:00"),
        Day("alertedToday", "2026-03-15 00:00:00+08:00", kYearly).Alerted("2027-03-15 01:00:00+08:00"),
        Day("daily", "2027-03-15 00:00:00+08:00", kDaily),
        Day("weekdays", "2027-03-15 00:00:00+08:00", kWeekdays),
        Day("weekly", "2027-03-15 00:00:00+08:00", kWeekly),
        Day("repeat6", "2027-03-15 00:00:00+08:00", 6),
        Day("yearlyNextYear", "2028-03-15 00:00:00+08:00", kYearly),
        Day("monthlyLater", "2027-12-15 00:00:00+08:00", kMonthly),
        Day("yearlyEnded", "2026-03-15 00:00:00+08:00", kYearly).Ends("2026-12-31 00:00:00+08:00"),
        Day("off", "2027-03-15 00:00:00+08:00", kOnce).Enabled(0),
        Day("enabled2", "2027-03-15 00:00:00+08:00", kOnce).Enabled(2),
        Timed("timedOnce", "2027-03-15 00:00:00+08:00", kOnce),
        Timed("timed09", "2027-01-10 09:00:00+08:00", kDaily)},
       {{"timed09", "2027-03-15 09:00:00+08:00", "2027-03-15 09:00:00"},
        {"timedOnce", "2027-03-15 00:00:00+08:00", "2027-03-15 00:00:00"}},
       {"monthlyLater", "once", "onceAlertedBefore", "yearlyEnded", "yearlyNextYear"}},
  };
  cases.insert(cases.end(), fixed.begin(), fixed.end());
  return cases;
}

std::vector<std::string> WineZones() { return {kShanghai, kKolkata, kNewYork, kBerlin}; }

std::int64_t Instant(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, oh = 0, om = 0;
  char sign = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c%d:%d", &y, &mo, &d, &h, &mi, &s, &sign, &oh, &om) != 9 ||
      (sign != '+' && sign != '-')) {
    throw std::invalid_argument("bad instant in the table: '" + text + "'");
  }
  using namespace std::chrono;
  const sys_days date{year{y} / mo / d};
  const std::int64_t offset = (sign == '-' ? -1 : 1) * (oh * 3600 + om * 60);
  return date.time_since_epoch().count() * std::int64_t{86400} + h * 3600 + mi * 60 + s - offset;
}

namespace {

// ---- running the statements -----------------------------------------------

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  throw std::runtime_error(what + ": " + sqlite3_errmsg(db));
}

Statement Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) Fail(db, "prepare");
  return Statement(statement);
}

void Insert(sqlite3* db, const Row& row) {
  const Statement insert = Prepare(db,
                                   "insert into Reminders (CalendarID, ItemID, ReminderType, Enabled, "
                                   "StartTime, Repeat, RepeatEnd, LastNotified) values ('cal', ?, ?, ?, ?, ?, ?, ?)");
  sqlite3_stmt* s = insert.get();
  auto bind_instant = [s](int index, const std::string& when) {
    if (when.empty()) {
      sqlite3_bind_null(s, index);
    } else {
      sqlite3_bind_int64(s, index, Instant(when));
    }
  };
  sqlite3_bind_text(s, 1, row.item.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_int(s, 2, row.type);
  if (row.enabled) {
    sqlite3_bind_int(s, 3, *row.enabled);
  } else {
    sqlite3_bind_null(s, 3);
  }
  bind_instant(4, row.start);
  sqlite3_bind_int(s, 5, row.repeat);
  if (row.end_null || !row.end.empty()) {
    bind_instant(6, row.end);
  } else {
    sqlite3_bind_int64(s, 6, 0);
  }
  bind_instant(7, row.last);
  if (sqlite3_step(s) != SQLITE_DONE) Fail(db, "insert");
}

int Column(sqlite3_stmt* statement, const char* name) {
  for (int i = 0; i < sqlite3_column_count(statement); ++i) {
    if (std::string(sqlite3_column_name(statement, i)) == name) return i;
  }
  throw std::runtime_error(std::string("no column ") + name);
}

std::string Text(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text ? text : "NULL";
}

// A timed row as "item <FinalNotifyTime> <FinalNotifyTimeStr>".
std::string Describe(const std::string& item, std::int64_t notify, const std::string& str) {
  return item + " " + std::to_string(notify) + " " + str;
}

std::vector<std::string> RunTimed(sqlite3* db) {
  const Statement query = Prepare(db, today::TodayReminderSql());
  sqlite3_stmt* s = query.get();
  std::vector<std::string> rows;
  int step;
  while ((step = sqlite3_step(s)) == SQLITE_ROW) {
    const int notify = Column(s, "FinalNotifyTime");
    if (sqlite3_column_type(s, notify) != SQLITE_INTEGER) {
      throw std::runtime_error("FinalNotifyTime is not an integer: " + Text(s, notify));
    }
    rows.push_back(Describe(Text(s, Column(s, "ItemID")), sqlite3_column_int64(s, notify),
                            Text(s, Column(s, "FinalNotifyTimeStr"))));
  }
  if (step != SQLITE_DONE) Fail(db, "timed statement");
  return rows;
}

std::vector<std::string> RunDays(sqlite3* db) {
  const Statement query = Prepare(db, today::TodayDaysMatterSql());
  std::vector<std::string> rows;
  int step;
  while ((step = sqlite3_step(query.get())) == SQLITE_ROW) rows.push_back(Text(query.get(), 1));
  if (step != SQLITE_DONE) Fail(db, "day-level statement");
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += "\n    " + line;
  return out.empty() ? "\n    (none)" : out;
}

void Compare(const char* what, const std::vector<std::string>& got, const std::vector<std::string>& want,
             std::vector<std::string>& failures) {
  if (got != want) failures.push_back(std::string(what) + ": got" + Join(got) + "\n  want" + Join(want));
}

}  // namespace

std::vector<std::string> CheckCase(const DueCase& c, const std::string& template_db, const std::string& work_folder) {
  namespace fs = std::filesystem;
  const fs::path path = fs::path(work_folder) / "due-today.db";
  fs::remove(path);
  fs::copy_file(template_db, path);
  std::vector<std::string> failures;
  try {
    PinnedNowVfs vfs(Instant(c.now));
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.string().c_str(), &raw, SQLITE_OPEN_READWRITE, vfs.Name());
    const Db db(raw);
    if (opened != SQLITE_OK) Fail(db.get(), "open");
    today::RegisterTodaySqlFunctions(db.get());
    for (const Row& row : c.rows) Insert(db.get(), row);

    std::vector<std::string> timed;
    for (const Listed& listed : c.timed) {
      timed.push_back(Describe(listed.item, Instant(listed.notify), listed.notify_str));
    }
    Compare("timed", RunTimed(db.get()), timed, failures);
    std::vector<std::string> days = c.days;
    std::sort(days.begin(), days.end());
    Compare("day-level", RunDays(db.get()), days, failures);
  } catch (const std::exception& error) {
    failures.push_back(error.what());
  }
  fs::remove(path);
  return failures;
}

}  // namespace chimewell::testing_support
