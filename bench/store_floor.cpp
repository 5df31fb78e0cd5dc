#include "store_floor.h"

#include <sqlite3.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>

#include "platform/files.h"
#include "testing/sqlite_handles.h"
#include "today/today_document.h"
#include "today/today_sql.h"

namespace chimewell::bench {
namespace {

namespace platform = chimewell::platform;

constexpr std::int64_t kDay = 86400;

using Database = testing_support::Db;
using testing_support::Statement;

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  throw std::runtime_error(what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "no connection"));
}

void Exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db, sql);
}

Statement Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) != SQLITE_OK) {
    Fail(db, "prepare");
  }
  return Statement(statement);
}

void StepToEnd(sqlite3* db, sqlite3_stmt* statement) {
  for (;;) {
    const int result = sqlite3_step(statement);
    if (result == SQLITE_DONE) return;
    if (result != SQLITE_ROW) Fail(db, "step");
  }
}

// What every unit of work of the service does first: the existing store,
// read-write, never created, then the service's settings in their order.
Database OpenLikeTheService(const std::string& path) {
  sqlite3* raw = nullptr;
  const int result = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  Database db(raw);
  if (result != SQLITE_OK) Fail(db.get(), "open " + path);
  sqlite3_extended_result_codes(db.get(), 1);
  for (const char* pragma : {"PRAGMA encoding = \"UTF-8\"", "PRAGMA cache_size = 10000",
                             "PRAGMA locking_mode = Exclusive", "PRAGMA synchronous = Off",
                             "PRAGMA journal_mode = Delete", "PRAGMA foreign_keys = On"}) {
    Exec(db.get(), pragma);
  }
  return db;
}

void Bind(sqlite3* db, sqlite3_stmt* statement, const std::vector<Binding>& bindings) {
  for (const Binding& binding : bindings) {
    const int index = sqlite3_bind_parameter_index(statement, binding.name);
    int result;
    if (const auto* text = std::get_if<std::string>(&binding.value)) {
      result = sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()),
                                 SQLITE_STATIC);
    } else {
      result = sqlite3_bind_int64(statement, index, std::get<std::int64_t>(binding.value));
    }
    if (result != SQLITE_OK) Fail(db, std::string("bind ") + binding.name);
  }
}

// A text column as a JSON string, escaped as the data files escape it.
void AppendJsonColumn(std::string& out, const unsigned char* text, int bytes) {
  today::AppendJsonString(out,
                          std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(bytes)));
}

// Reads every column of the current row, as a reader that keeps the row must.
void TouchRow(sqlite3_stmt* statement, int columns) {
  for (int i = 0; i < columns; ++i) {
    switch (sqlite3_column_type(statement, i)) {
      case SQLITE_INTEGER: static_cast<void>(sqlite3_column_int64(statement, i)); break;
      case SQLITE_FLOAT: static_cast<void>(sqlite3_column_double(statement, i)); break;
      case SQLITE_NULL: break;
      default:
        static_cast<void>(sqlite3_column_text(statement, i));
        static_cast<void>(sqlite3_column_bytes(statement, i));
    }
  }
}

// Runs one today statement and groups its rows by calendar into the data
// file's document. The bench's calendar IDs are never empty and never differ
// in letter case only, so adjacent equal IDs are the whole grouping rule.
// CalendarID is column `calendar_column`, ItemID the next one; `element`
// appends the rest of one row's element. Returns the row count.
template <typename Element>
std::size_t BuildDocument(sqlite3* db, const std::string& sql, int calendar_column, std::string& document,
                          Element element) {
  const Statement statement = Prepare(db, sql);
  const int columns = sqlite3_column_count(statement.get());
  const int item_column = calendar_column + 1;
  std::string open_id;
  std::size_t rows = 0;
  document = "{";
  for (;;) {
    const int result = sqlite3_step(statement.get());
    if (result == SQLITE_DONE) break;
    if (result != SQLITE_ROW) Fail(db, "step");
    ++rows;
    TouchRow(statement.get(), columns);
    const auto* calendar = sqlite3_column_text(statement.get(), calendar_column);
    const int calendar_bytes = sqlite3_column_bytes(statement.get(), calendar_column);
    const std::string_view id(reinterpret_cast<const char*>(calendar), static_cast<std::size_t>(calendar_bytes));
    if (rows == 1 || id != open_id) {
      if (rows > 1) document += "]},";
      open_id = id;
      document += "\"Calendar_";
      document.append(id);
      document += "\":{\"ID\":";
      AppendJsonColumn(document, calendar, calendar_bytes);
      document += ",\"Reminds\":[";
    } else {
      document += ',';
    }
    document += "{\"ItemID\":";
    AppendJsonColumn(document, sqlite3_column_text(statement.get(), item_column),
                     sqlite3_column_bytes(statement.get(), item_column));
    element(statement.get(), document);
    document += '}';
  }
  if (rows > 0) document += "]}";
  document += '}';
  return rows;
}

// As the service does it: the floor pays for the same atomic replace.
void WriteOrDelete(const std::string& path, const std::string& document, std::size_t rows) {
  platform::FileSystem& files = platform::RealFileSystem();
  if (rows == 0) {
    if (files.FileExists(path)) files.DeleteFile(path);
    return;
  }
  platform::ReplaceFileAtomically(files, path, document);
}

}  // namespace

// The service's statements, character for character.
const char kInsertSql[] =
    "Insert into Reminders (CalendarID,ItemID,ReminderType,Enabled,StartTime,Repeat,"
    "RepeatEnd) Values(:CalendarID,:ItemID,:ReminderType,:Enabled,:StartTime,:Repeat,"
    ":RepeatEnd)";
const char kUpdateSql[] =
    "Update Reminders Set Enabled=:Enabled,StartTime=:StartTime,Repeat=:Repeat,"
    "RepeatEnd=:RepeatEnd ,LastNotified=null  where CalendarID=:CalendarID and "
    "ItemID=:ItemID";
const char kDeleteSql[] = "delete FROM Reminders  where CalendarID=:CalendarID and ItemID=:ItemID";

std::string AlertSql(std::int64_t unix_seconds, const std::string& item) {
  return "update reminders set lastnotified= " + std::to_string(unix_seconds) + " where ItemID in ('" +
         item + "')";
}

std::vector<Binding> InsertBindings(const Reminder& r) {
  return {{":CalendarID", r.calendar}, {":ItemID", r.item},     {":ReminderType", r.type},
          {":Enabled", r.enabled},     {":StartTime", r.start}, {":Repeat", r.repeat},
          {":RepeatEnd", r.repeat_end}};
}

std::vector<Binding> UpdateBindings(const Reminder& r) {
  return {{":CalendarID", r.calendar}, {":ItemID", r.item}, {":Enabled", r.enabled},
          {":StartTime", r.start},     {":Repeat", r.repeat}, {":RepeatEnd", r.repeat_end}};
}

std::vector<Binding> DeleteBindings(const Reminder& r) {
  return {{":CalendarID", r.calendar}, {":ItemID", r.item}};
}

std::vector<Reminder> SeedStore(const std::string& path, std::size_t count, SeedTime when,
                                std::mt19937_64& random) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  const Database db(raw);
  if (opened != SQLITE_OK) Fail(db.get(), "open " + path);
  Exec(db.get(), "BEGIN");
  const Statement insert = Prepare(
      db.get(),
      "INSERT INTO Reminders (CalendarID,ItemID,ReminderType,Enabled,StartTime,Repeat,RepeatEnd,"
      "LastNotified) VALUES (?,?,?,?,?,?,?,?)");

  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
  auto between = [&](std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(random);
  };
  const std::int64_t midnight = when.now - when.seconds_since_midnight;
  std::vector<Reminder> reminders;
  reminders.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    Reminder r;
    char item[48];
    std::snprintf(item, sizeof item, "%08" PRIx64 "-%04" PRIx64 "-4%03" PRIx64 "-%012zx",
                  static_cast<std::uint64_t>(random()) & 0xFFFFFFFFu, static_cast<std::uint64_t>(random()) & 0xFFFFu,
                  static_cast<std::uint64_t>(random()) & 0xFFFu, i);
    r.item = item;
    r.calendar = "cal-" + std::to_string(between(0, 23));
    r.type = chance(0.75) ? 0 : 1;
    r.enabled = chance(0.9) ? 1 : 0;
    // Half one-off, the rest spread over daily, weekdays, weekly, monthly, yearly.
    r.repeat = chance(0.5) ? 0 : static_cast<int>(between(1, 5));
    if (chance(0.15)) {
      // Falls due today: earlier today, or an earlier day's time of day that
      // has already passed today.
      const std::int64_t time_of_day = between(0, std::max<std::int64_t>(0, when.seconds_since_midnight - 60));
      r.start = midnight + time_of_day - (r.repeat == 0 ? 0 : kDay * between(1, 700));
    } else {
      r.start = when.now + between(-730 * kDay, 365 * kDay);
    }
    r.repeat_end = chance(0.8) ? 0 : when.now + between(-365 * kDay, 365 * kDay);
    sqlite3_stmt* s = insert.get();
    sqlite3_reset(s);
    sqlite3_bind_text(s, 1, r.calendar.data(), static_cast<int>(r.calendar.size()), SQLITE_STATIC);
    sqlite3_bind_text(s, 2, r.item.data(), static_cast<int>(r.item.size()), SQLITE_STATIC);
    sqlite3_bind_int(s, 3, r.type);
    sqlite3_bind_int(s, 4, r.enabled);
    sqlite3_bind_int64(s, 5, r.start);
    sqlite3_bind_int(s, 6, r.repeat);
    sqlite3_bind_int64(s, 7, r.repeat_end);
    // Mostly never alerted; some today (not listed again), some yesterday.
    const double alerted = std::uniform_real_distribution<double>(0, 1)(random);
    if (alerted < 0.8) {
      sqlite3_bind_null(s, 8);
    } else if (alerted < 0.9) {
      sqlite3_bind_int64(s, 8, midnight + between(0, when.seconds_since_midnight));
    } else {
      sqlite3_bind_int64(s, 8, midnight - between(1, kDay - 1));
    }
    StepToEnd(db.get(), s);
    reminders.push_back(std::move(r));
  }
  Exec(db.get(), "COMMIT");
  return reminders;
}

StoreFloor::StoreFloor(std::string db_path, std::string today_dir)
    : db_path_(std::move(db_path)), today_dir_(std::move(today_dir)) {}

void StoreFloor::RunUnit(const std::string& sql, const std::vector<Binding>& bindings) const {
  const Database db = OpenLikeTheService(db_path_);
  Exec(db.get(), "BEGIN DEFERRED TRANSACTION t_1");
  {
    const Statement statement = Prepare(db.get(), sql);
    Bind(db.get(), statement.get(), bindings);
    StepToEnd(db.get(), statement.get());
  }
  Exec(db.get(), "COMMIT TRANSACTION t_1");
}

TodayCounts StoreFloor::Rebuild() const { return Build(false); }

TodayCounts StoreFloor::RebuildInTwoUnits() const { return Build(true); }

TodayCounts StoreFloor::Build(bool two_units) const {
  using chimewell::today::TodayDaysMatterSql;
  using chimewell::today::TodayReminderSql;
  TodayCounts counts;
  std::string reminders, days_matter;
  {
    std::optional<Database> db(OpenLikeTheService(db_path_));
    chimewell::today::RegisterTodaySqlFunctions(db->get());
    // The timed statement: three computed columns, then those of Reminders.
    counts.reminders = BuildDocument(db->get(), TodayReminderSql(), 3, reminders, [](sqlite3_stmt* row, std::string& out) {
      // FinalNotifyTime (column 1) and FinalNotifyTimeStr (column 2).
      out += ",\"RemindTime\":";
      out += std::to_string(sqlite3_column_int64(row, 1));
      out += ",\"RemindTimeStr\":";
      AppendJsonColumn(out, sqlite3_column_text(row, 2), sqlite3_column_bytes(row, 2));
    });
    if (two_units) {
      db.reset();
      db.emplace(OpenLikeTheService(db_path_));
    }
    counts.days_matter = BuildDocument(db->get(), TodayDaysMatterSql(), 0, days_matter, [](sqlite3_stmt*, std::string&) {});
  }
  WriteOrDelete(ReminderFile(), reminders, counts.reminders);
  WriteOrDelete(DaysMatterFile(), days_matter, counts.days_matter);
  return counts;
}

}  // namespace chimewell::bench
