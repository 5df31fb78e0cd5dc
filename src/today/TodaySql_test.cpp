#include "today/TodaySql.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support/trace_capture.h"
#include "today/testing/pinned_now.h"

namespace chimewell::today {
namespace {

namespace fs = std::filesystem;
using testing_support::PinnedNowVfs;
using testing_support::ScopedTimeZone;
using testing_support::TempFolder;

// FNV-1a, 64 bits: catches an edit that keeps the length.
std::uint64_t Fingerprint(const std::string& text) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3u;
  return hash;
}

TEST(TodaySqlText, StatementsAreTheFixedOneLineTexts) {
  struct Fixed {
    const char* name;
    const std::string& text;
    std::size_t length;
    std::uint64_t fingerprint;
  } cases[] = {
      {"timed", TodayReminderSql(), 1578, 0x769fb0d88463edb8u},
      {"day-level", TodayDaysMatterSql(), 597, 0x6eaed071b87d755au},
  };
  for (const Fixed& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.text.size(), c.length);
    EXPECT_EQ(c.text.find_first_of("\r\n\t"), std::string::npos);
    EXPECT_EQ(Fingerprint(c.text), c.fingerprint);
  }
}

// ---- instants -------------------------------------------------------------

// "YYYY-MM-DD HH:MM:SS+HH:MM" (a wall-clock time and its UTC offset) as Unix
// seconds. Worked out here by calendar arithmetic, independent of TZ.
std::int64_t Instant(const char* text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, oh = 0, om = 0;
  char sign = 0;
  if (std::sscanf(text, "%d-%d-%d %d:%d:%d%c%d:%d", &y, &mo, &d, &h, &mi, &s, &sign, &oh, &om) != 9 ||
      (sign != '+' && sign != '-')) {
    ADD_FAILURE() << "bad instant in the table: " << text;
    return 0;
  }
  using namespace std::chrono;
  const sys_days date{year{y} / mo / d};
  const std::int64_t offset = (sign == '-' ? -1 : 1) * (oh * 3600 + om * 60);
  return date.time_since_epoch().count() * 86400 + h * 3600 + mi * 60 + s - offset;
}

std::string Utc(std::int64_t seconds) {
  using namespace std::chrono;
  const sys_seconds t{std::chrono::seconds{seconds}};
  const sys_days midnight = floor<days>(t);
  const year_month_day ymd{midnight};
  const hh_mm_ss time{t - midnight};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

// ---- the table's vocabulary -------------------------------------------------

enum Repeat { kOnce = 0, kDaily = 1, kWeekdays = 2, kWeekly = 3, kMonthly = 4, kYearly = 5 };

// One row of Reminders. Times are instants in the form Instant() reads;
// nullptr stands for NULL.
struct Row {
  const char* item;
  int type;
  const char* start;
  int repeat;
  const char* end = nullptr;  // RepeatEnd; nullptr stands for 0 here, unless end_null
  bool end_null = false;
  const char* last = nullptr;  // LastNotified
  std::optional<int> enabled = 1;

  Row Ends(const char* when) const { Row r = *this; r.end = when; return r; }
  Row NullEnd() const { Row r = *this; r.end_null = true; return r; }
  Row Alerted(const char* when) const { Row r = *this; r.last = when; return r; }
  Row Enabled(std::optional<int> value) const { Row r = *this; r.enabled = value; return r; }
};

Row Timed(const char* item, const char* start, int repeat) { return {item, 0, start, repeat}; }
Row Day(const char* item, const char* start, int repeat) { return {item, 1, start, repeat}; }

// A row the timed statement lists: FinalNotifyTime as an instant, and
// FinalNotifyTimeStr.
struct Listed {
  const char* item;
  const char* notify;
  const char* notify_str;
};

struct Case {
  const char* name;
  const char* zone;
  const char* now;
  std::vector<Row> rows;
  std::vector<Listed> timed;       // in result order
  std::vector<const char*> days;   // any order
};

// ---- running the statements -----------------------------------------------

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

Statement Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  return Statement(statement);
}

Db OpenThrough(const std::string& path, const PinnedNowVfs& vfs) {
  sqlite3* db = nullptr;
  const int result = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, vfs.Name());
  Db owned(db);
  EXPECT_EQ(result, SQLITE_OK) << (db ? sqlite3_errmsg(db) : "");
  return owned;
}

void Insert(sqlite3* db, const Row& row) {
  Statement insert = Prepare(db,
                             "insert into Reminders (CalendarID, ItemID, ReminderType, Enabled, StartTime, "
                             "Repeat, RepeatEnd, LastNotified) values ('cal', ?, ?, ?, ?, ?, ?, ?)");
  sqlite3_stmt* s = insert.get();
  auto bind_instant = [s](int index, const char* when) {
    if (when == nullptr) {
      sqlite3_bind_null(s, index);
    } else {
      sqlite3_bind_int64(s, index, Instant(when));
    }
  };
  sqlite3_bind_text(s, 1, row.item, -1, SQLITE_STATIC);
  sqlite3_bind_int(s, 2, row.type);
  if (row.enabled) {
    sqlite3_bind_int(s, 3, *row.enabled);
  } else {
    sqlite3_bind_null(s, 3);
  }
  bind_instant(4, row.start);
  sqlite3_bind_int(s, 5, row.repeat);
  if (row.end_null || row.end != nullptr) {
    bind_instant(6, row.end);
  } else {
    sqlite3_bind_int64(s, 6, 0);
  }
  bind_instant(7, row.last);
  EXPECT_EQ(sqlite3_step(s), SQLITE_DONE) << sqlite3_errmsg(db);
}

int Column(sqlite3_stmt* statement, const char* name) {
  for (int i = 0; i < sqlite3_column_count(statement); ++i) {
    if (std::string(sqlite3_column_name(statement, i)) == name) return i;
  }
  ADD_FAILURE() << "no column " << name;
  return 0;
}

std::string Text(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text ? text : "NULL";
}

// A timed result row as "item int|text <FinalNotifyTime in UTC> <FinalNotifyTimeStr>".
std::string Describe(const std::string& item, bool is_text, std::int64_t notify, const std::string& str) {
  return item + (is_text ? " text " : " int ") + Utc(notify) + " " + str;
}

std::vector<std::string> RunTimed(sqlite3* db) {
  Statement query = Prepare(db, TodayReminderSql());
  sqlite3_stmt* s = query.get();
  std::vector<std::string> rows;
  int step;
  while ((step = sqlite3_step(s)) == SQLITE_ROW) {
    const int notify = Column(s, "FinalNotifyTime");
    const int type = sqlite3_column_type(s, notify);
    const std::string digits = Text(s, notify);
    if (type != SQLITE_INTEGER &&
        (type != SQLITE_TEXT || digits.find_first_not_of("0123456789") != std::string::npos)) {
      ADD_FAILURE() << "FinalNotifyTime is neither an integer nor a text of digits: " << digits;
    }
    rows.push_back(Describe(Text(s, Column(s, "ItemID")), type == SQLITE_TEXT, std::stoll(digits),
                            Text(s, Column(s, "FinalNotifyTimeStr"))));
  }
  EXPECT_EQ(step, SQLITE_DONE) << sqlite3_errmsg(db);
  return rows;
}

std::vector<std::string> RunDays(sqlite3* db) {
  Statement query = Prepare(db, TodayDaysMatterSql());
  std::vector<std::string> rows;
  int step;
  while ((step = sqlite3_step(query.get())) == SQLITE_ROW) {
    rows.push_back(Text(query.get(), 0) + "/" + Text(query.get(), 1));
  }
  EXPECT_EQ(step, SQLITE_DONE) << sqlite3_errmsg(db);
  std::sort(rows.begin(), rows.end());
  return rows;
}

// ---- the cases ---------------------------------------------------------------

constexpr const char* kUtcPlus8 = "Asia/Shanghai";    // +08:00, no daylight-saving time
constexpr const char* kUtcMinus5 = "America/Bogota";  // -05:00, no daylight-saving time
constexpr const char* kBerlin = "Europe/Berlin";      // +01:00, +02:00 from 2024-03-31 01:00Z
constexpr const char* kUtc = "UTC";

// Repeating rows start well before the days under test.
const Row kDaily07At8 = Timed("daily07", "2024-01-10 07:00:00+08:00", kDaily);
const Row kDaily09At8 = Timed("daily09", "2024-01-10 09:00:00+08:00", kDaily);
const Row kDaily20At5 = Timed("daily20", "2024-01-10 20:00:00-05:00", kDaily);
const Row kDaily19At5 = Timed("daily19", "2024-01-10 19:00:00-05:00", kDaily);
const Row kDaily1859At5 = Timed("daily1859", "2024-01-10 18:59:59-05:00", kDaily);
const Row kDaily09At5 = Timed("daily09", "2024-01-10 09:00:00-05:00", kDaily);
const Row kWinter09 = Timed("winter09", "2024-01-10 09:00:00+01:00", kDaily);
const Row kSummer0130 = Timed("summer0130", "2023-07-01 01:30:00+02:00", kDaily);
const Row kMonthly07On31 = Timed("monthly07", "2024-01-31 07:00:00+08:00", kMonthly);
const Row kMonthly09On31 = Timed("monthly09", "2024-01-31 09:00:00+08:00", kMonthly);
const Row kDayOn31 = Day("day31", "2024-01-31 00:00:00+08:00", kMonthly);
const Row kYearlyFeb29 = Timed("yearly0229", "2020-02-29 09:00:00+00:00", kYearly);
const Row kDayFeb29 = Day("day0229", "2020-02-29 00:00:00+00:00", kYearly);
const Row kWeekdays07 = Timed("weekdays07", "2024-03-01 07:00:00+08:00", kWeekdays);  // a Friday
const Row kWeekly0710 = Timed("weekly0710", "2024-03-01 07:10:00+08:00", kWeekly);    // Thursday in UTC

std::vector<Case> Cases() {
  return {
      // One-off timed reminders: StartTime must lie before now plus the UTC offset.
      {"UTC+8 one-off 20:00, rebuild 12:00:00: not yet", kUtcPlus8, "2024-03-15 12:00:00+08:00",
       {Timed("once20", "2024-03-15 20:00:00+08:00", kOnce)},
       {},
       {}},
      {"UTC+8 one-off 20:00, rebuild 12:00:01: listed 8 h ahead", kUtcPlus8, "2024-03-15 12:00:01+08:00",
       {Timed("once20", "2024-03-15 20:00:00+08:00", kOnce)},
       {{"once20", "2024-03-15 20:00:00+08:00", "2024-03-15 20:00:00"}},
       {}},
      {"UTC one-off: listed once past, not before; yesterday's never", kUtc, "2024-03-15 20:15:00+00:00",
       {Timed("once20", "2024-03-15 20:00:00+00:00", kOnce),
        Timed("once2030", "2024-03-15 20:30:00+00:00", kOnce),
        Timed("onceYesterday", "2024-03-14 21:00:00+00:00", kOnce)},
       {{"once20", "2024-03-15 20:00:00+00:00", "2024-03-15 20:00:00"}},
       {}},
      {"UTC-5 one-off: listed only more than 5 h after it", kUtcMinus5, "2024-03-15 15:00:01-05:00",
       {Timed("once10", "2024-03-15 10:00:00-05:00", kOnce),
        Timed("once1001", "2024-03-15 10:00:01-05:00", kOnce)},
       {{"once10", "2024-03-15 10:00:00-05:00", "2024-03-15 10:00:00"}},
       {}},
      {"UTC-5 one-off at 19:00 is never listed", kUtcMinus5, "2024-03-15 23:59:59-05:00",
       {Timed("once19", "2024-03-15 19:00:00-05:00", kOnce),
        Timed("once1858", "2024-03-15 18:58:00-05:00", kOnce)},
       {{"once1858", "2024-03-15 18:58:00-05:00", "2024-03-15 18:58:00"}},
       {}},

      // Repeating: FinalNotifyTime is on the UTC date, FinalNotifyTimeStr on the local one.
      {"UTC+8 00:00:05: 09:00 counted on yesterday's instant", kUtcPlus8, "2024-03-15 00:00:05+08:00",
       {kDaily09At8, kDaily07At8},
       {{"daily07", "2024-03-15 07:00:00+08:00", "2024-03-15 07:00:00"},
        {"daily09", "2024-03-14 09:00:00+08:00", "2024-03-15 09:00:00"}},
       {}},
      {"UTC+8 07:59:59: both still listed", kUtcPlus8, "2024-03-15 07:59:59+08:00",
       {kDaily09At8, kDaily07At8},
       {{"daily07", "2024-03-15 07:00:00+08:00", "2024-03-15 07:00:00"},
        {"daily09", "2024-03-14 09:00:00+08:00", "2024-03-15 09:00:00"}},
       {}},
      {"UTC+8 08:00:00: UTC date is today, 07:00 drops out", kUtcPlus8, "2024-03-15 08:00:00+08:00",
       {kDaily09At8, kDaily07At8},
       {{"daily09", "2024-03-15 09:00:00+08:00", "2024-03-15 09:00:00"}},
       {}},
      {"UTC-5 10:00: only repeats at 19:00 or later", kUtcMinus5, "2024-03-15 10:00:00-05:00",
       {kDaily09At5, kDaily1859At5, kDaily19At5, kDaily20At5},
       {{"daily20", "2024-03-14 20:00:00-05:00", "2024-03-15 20:00:00"},
        {"daily19", "2024-03-14 19:00:00-05:00", "2024-03-15 19:00:00"}},
       {}},
      {"UTC-5 18:59:59: still the same", kUtcMinus5, "2024-03-15 18:59:59-05:00",
       {kDaily09At5, kDaily1859At5, kDaily19At5, kDaily20At5},
       {{"daily20", "2024-03-14 20:00:00-05:00", "2024-03-15 20:00:00"},
        {"daily19", "2024-03-14 19:00:00-05:00", "2024-03-15 19:00:00"}},
       {}},
      {"UTC-5 19:00: no repeating reminder at all", kUtcMinus5, "2024-03-15 19:00:00-05:00",
       {kDaily09At5, kDaily1859At5, kDaily19At5, kDaily20At5},
       {},
       {}},

      // Daylight-saving time: StartTime's time of day is read at its own offset.
      {"Berlin summer day, winter start: Str 09:00, instant 10:00", kBerlin, "2024-07-10 12:00:00+02:00",
       {kWinter09},
       {{"winter09", "2024-07-10 10:00:00+02:00", "2024-07-10 09:00:00"}},
       {}},
      {"Berlin 01:15 the day before the switch (+01:00)", kBerlin, "2024-03-30 01:15:00+01:00",
       {kSummer0130, kWinter09},
       {{"winter09", "2024-03-30 09:00:00+01:00", "2024-03-30 09:00:00"}},
       {}},
      {"Berlin 01:15 the day after the switch (+02:00)", kBerlin, "2024-04-01 01:15:00+02:00",
       {kWinter09, kSummer0130},
       {{"summer0130", "2024-04-01 01:30:00+02:00", "2024-04-01 01:30:00"},
        {"winter09", "2024-03-31 10:00:00+02:00", "2024-04-01 09:00:00"}},
       {}},

      // LastNotified and RepeatEnd compare local dates.
      {"UTC+8 alerts: one-off never again; repeats by local alert date", kUtcPlus8,
       "2024-03-15 10:00:00+08:00",
       {Timed("once09", "2024-03-15 09:00:00+08:00", kOnce),
        Timed("once09y", "2024-03-15 09:00:00+08:00", kOnce).Alerted("2024-03-14 23:30:00+08:00"),
        Timed("once0905t", "2024-03-15 09:05:00+08:00", kOnce).Alerted("2024-03-15 09:05:00+08:00"),
        Timed("daily0910y", "2024-01-10 09:10:00+08:00", kDaily).Alerted("2024-03-14 23:30:00+08:00"),
        Timed("daily0920t", "2024-01-10 09:20:00+08:00", kDaily).Alerted("2024-03-15 01:30:00+08:00"),
        Timed("daily0930n", "2024-01-10 09:30:00+08:00", kDaily).Alerted("2024-03-16 08:00:00+08:00")},
       {{"daily0930n", "2024-03-15 09:30:00+08:00", "2024-03-15 09:30:00"},
        {"daily0910y", "2024-03-15 09:10:00+08:00", "2024-03-15 09:10:00"},
        {"once09", "2024-03-15 09:00:00+08:00", "2024-03-15 09:00:00"}},
       {}},
      {"UTC+8 RepeatEnd: today at any hour, not yesterday, not NULL", kUtcPlus8, "2024-03-15 10:00:00+08:00",
       {Timed("daily0900", "2024-01-10 09:00:00+08:00", kDaily).Ends("2024-03-15 00:30:00+08:00"),
        Timed("daily0910", "2024-01-10 09:10:00+08:00", kDaily).Ends("2024-03-15 23:59:59+08:00"),
        Timed("daily0920", "2024-01-10 09:20:00+08:00", kDaily).Ends("2024-03-14 23:59:59+08:00"),
        Timed("daily0930", "2024-01-10 09:30:00+08:00", kDaily).NullEnd()},
       {{"daily0910", "2024-03-15 09:10:00+08:00", "2024-03-15 09:10:00"},
        {"daily0900", "2024-03-15 09:00:00+08:00", "2024-03-15 09:00:00"}},
       {}},
      {"UTC-5: alert and end dates are local dates", kUtcMinus5, "2024-03-15 10:00:00-05:00",
       {Timed("daily20y", "2024-01-10 20:00:00-05:00", kDaily).Alerted("2024-03-14 23:30:00-05:00"),
        Timed("daily2010t", "2024-01-10 20:10:00-05:00", kDaily).Alerted("2024-03-15 01:30:00-05:00"),
        Timed("daily2020e", "2024-01-10 20:20:00-05:00", kDaily).Ends("2024-03-14 23:00:00-05:00"),
        Timed("daily2030e", "2024-01-10 20:30:00-05:00", kDaily).Ends("2024-03-15 00:30:00-05:00")},
       {{"daily2030e", "2024-03-14 20:30:00-05:00", "2024-03-15 20:30:00"},
        {"daily20y", "2024-03-14 20:00:00-05:00", "2024-03-15 20:00:00"}},
       {}},

      // Day of month and month-day, by local date.
      {"31st monthly on 31 March", kUtcPlus8, "2024-03-31 07:30:00+08:00",
       {kMonthly07On31, kMonthly09On31, kDayOn31},
       {{"monthly07", "2024-03-31 07:00:00+08:00", "2024-03-31 07:00:00"},
        {"monthly09", "2024-03-30 09:00:00+08:00", "2024-03-31 09:00:00"}},
       {"cal/day31"}},
      {"31st monthly not on 30 April", kUtcPlus8, "2024-04-30 10:00:00+08:00",
       {kMonthly07On31, kMonthly09On31, kDayOn31},
       {},
       {}},
      {"29 February yearly in a leap year", kUtc, "2024-02-29 10:00:00+00:00",
       {kYearlyFeb29, kDayFeb29},
       {{"yearly0229", "2024-02-29 09:00:00+00:00", "2024-02-29 09:00:00"}},
       {"cal/day0229"}},
      {"29 February yearly not on 28 February", kUtc, "2025-02-28 10:00:00+00:00",
       {kYearlyFeb29, kDayFeb29},
       {},
       {}},
      {"29 February yearly not on 1 March", kUtc, "2025-03-01 10:00:00+00:00",
       {kYearlyFeb29, kDayFeb29},
       {},
       {}},
      {"UTC+8 weekdays and weekly on a Friday (Thursday in UTC)", kUtcPlus8, "2024-03-15 07:30:00+08:00",
       {kWeekdays07, kWeekly0710},
       {{"weekly0710", "2024-03-15 07:10:00+08:00", "2024-03-15 07:10:00"},
        {"weekdays07", "2024-03-15 07:00:00+08:00", "2024-03-15 07:00:00"}},
       {}},
      {"UTC+8 weekdays and weekly on a Saturday (Friday in UTC)", kUtcPlus8, "2024-03-16 07:30:00+08:00",
       {kWeekdays07, kWeekly0710},
       {},
       {}},
      {"UTC+8 weekdays on a Monday (Sunday in UTC)", kUtcPlus8, "2024-03-18 07:30:00+08:00",
       {kWeekdays07, kWeekly0710},
       {{"weekdays07", "2024-03-18 07:00:00+08:00", "2024-03-18 07:00:00"}},
       {}},

      // Order: every repeating reminder (text) before every one-off (integer).
      {"UTC order: repeats latest first, then one-offs; only Enabled 1, known codes", kUtc,
       "2024-03-15 12:00:00+00:00",
       {Timed("once08", "2024-03-15 08:00:00+00:00", kOnce),
        Timed("daily09", "2024-01-10 09:00:00+00:00", kDaily),
        Timed("once11", "2024-03-15 11:00:00+00:00", kOnce),
        Timed("daily10", "2024-01-10 10:00:00+00:00", kDaily),
        Timed("off", "2024-01-10 09:30:00+00:00", kDaily).Enabled(0),
        Timed("offNull", "2024-01-10 09:40:00+00:00", kDaily).Enabled(std::nullopt),
        Timed("enabled2", "2024-01-10 09:45:00+00:00", kDaily).Enabled(2),
        Timed("repeat6", "2024-01-10 09:50:00+00:00", 6), Timed("startNull", nullptr, kDaily)},
       {{"daily10", "2024-03-15 10:00:00+00:00", "2024-03-15 10:00:00"},
        {"daily09", "2024-03-15 09:00:00+00:00", "2024-03-15 09:00:00"},
        {"once11", "2024-03-15 11:00:00+00:00", "2024-03-15 11:00:00"},
        {"once08", "2024-03-15 08:00:00+00:00", "2024-03-15 08:00:00"}},
       {}},

      // Day-level entries, beside timed rows that only the timed statement lists.
      {"UTC+8 day-level entries on Friday 15 March", kUtcPlus8, "2024-03-15 10:00:00+08:00",
       {Day("once", "2024-03-15 00:00:00+08:00", kOnce),
        Day("onceYesterday", "2024-03-14 00:00:00+08:00", kOnce),
        Day("onceAlertedBefore", "2024-03-15 00:00:00+08:00", kOnce).Alerted("2024-03-14 20:00:00+08:00"),
        Day("alertedToday", "2023-03-15 00:00:00+08:00", kYearly).Alerted("2024-03-15 01:00:00+08:00"),
        Day("daily", "2024-03-15 00:00:00+08:00", kDaily),
        Day("weekdays", "2024-03-15 00:00:00+08:00", kWeekdays),
        Day("weekly", "2024-03-15 00:00:00+08:00", kWeekly),
        Day("repeat6", "2024-03-15 00:00:00+08:00", 6),
        Day("yearlyNextYear", "2025-03-15 00:00:00+08:00", kYearly),
        Day("monthlyLater", "2024-12-15 00:00:00+08:00", kMonthly),
        Day("yearlyEnded", "2023-03-15 00:00:00+08:00", kYearly).Ends("2023-12-31 00:00:00+08:00"),
        Day("off", "2024-03-15 00:00:00+08:00", kOnce).Enabled(0),
        Day("offNull", "2024-03-15 00:00:00+08:00", kOnce).Enabled(std::nullopt),
        Day("enabled2", "2024-03-15 00:00:00+08:00", kOnce).Enabled(2),
        Timed("timedOnce", "2024-03-15 00:00:00+08:00", kOnce),
        Timed("timed09", "2024-01-10 09:00:00+08:00", kDaily)},
       {{"timed09", "2024-03-15 09:00:00+08:00", "2024-03-15 09:00:00"},
        {"timedOnce", "2024-03-15 00:00:00+08:00", "2024-03-15 00:00:00"}},
       {"cal/monthlyLater", "cal/once", "cal/onceAlertedBefore", "cal/yearlyEnded", "cal/yearlyNextYear"}},
  };
}

// What the case expects of the timed statement, in the form RunTimed gives.
std::vector<std::string> ExpectedTimed(const Case& c) {
  std::vector<std::string> rows;
  for (const Listed& listed : c.timed) {
    const auto row = std::find_if(c.rows.begin(), c.rows.end(),
                                  [&](const Row& r) { return std::string(r.item) == listed.item; });
    const bool repeating = row != c.rows.end() && row->repeat != kOnce;
    rows.push_back(Describe(listed.item, repeating, Instant(listed.notify), listed.notify_str));
  }
  return rows;
}

TEST(TodaySql, DueTodayByZoneAndPinnedNow) {
  for (const char* zone : {kUtcPlus8, kUtcMinus5, kBerlin, kUtc}) {
    ASSERT_TRUE(fs::exists(fs::path("/usr/share/zoneinfo") / zone)) << zone << ": tzdata is missing";
  }
  for (const Case& c : Cases()) {
    SCOPED_TRACE(std::string(c.name) + " [" + c.zone + ", now " + c.now + "]");
    ScopedTimeZone zone(c.zone);
    TempFolder folder;
    const std::string path = folder / "reminder.db";
    fs::copy_file(CHIMEWELL_TEMPLATE_DB, path);
    PinnedNowVfs vfs(Instant(c.now));
    Db db = OpenThrough(path, vfs);
    ASSERT_TRUE(db);
    for (const Row& row : c.rows) Insert(db.get(), row);

    EXPECT_EQ(RunTimed(db.get()), ExpectedTimed(c));
    std::vector<std::string> days;
    for (const char* item : c.days) days.push_back(item);
    std::sort(days.begin(), days.end());
    EXPECT_EQ(RunDays(db.get()), days);
  }
}

// Guards the fixture itself: without it a broken clock or zone would show up
// only as wrong due lists.
TEST(TodaySql, PinnedVfsAndZoneDriveSqliteClock) {
  ScopedTimeZone zone(kUtcPlus8);
  TempFolder folder;
  const std::string path = folder / "reminder.db";
  fs::copy_file(CHIMEWELL_TEMPLATE_DB, path);
  PinnedNowVfs vfs(Instant("2024-03-15 00:00:05+08:00"));
  Db db = OpenThrough(path, vfs);
  ASSERT_TRUE(db);
  Statement query = Prepare(db.get(), "select strftime('%s','now'), datetime('now','localtime')");
  ASSERT_EQ(sqlite3_step(query.get()), SQLITE_ROW);
  EXPECT_EQ(Text(query.get(), 0), std::to_string(Instant("2024-03-14 16:00:05+00:00")));
  EXPECT_EQ(Text(query.get(), 1), "2024-03-15 00:00:05");

  vfs.SetNow(Instant("2024-07-10 12:00:00+00:00"));
  ASSERT_EQ(sqlite3_reset(query.get()), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(query.get()), SQLITE_ROW);
  EXPECT_EQ(Text(query.get(), 1), "2024-07-10 20:00:00");
}

}  // namespace
}  // namespace chimewell::today
