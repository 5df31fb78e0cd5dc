#include "today/today_sql.h"

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "testing/due_today_table.h"
#include "testing/pinned_now.h"
#include "testing/scoped_time_zone.h"
#include "testing/sqlite_handles.h"
#include "testing/trace_capture.h"

namespace chimewell::today {
namespace {

namespace fs = std::filesystem;
using testing_support::PinnedNowVfs;
using testing_support::ScopedTimeZone;
using testing_support::TempFolder;
using testing_support::DueCase;
using testing_support::Instant;

// FNV-1a, 64 bits: catches an edit that keeps the length.
std::uint64_t Fingerprint(const std::string& text) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3u;
  return hash;
}

// The statements are dumped as they run, one line each; the day-level one is
// a fixed text that readers of the dump compare against.
TEST(TodaySqlText, StatementsAreOneLineAndTheDayLevelOneIsFixed) {
  for (const std::string* text : {&TodayReminderSql(), &TodayDaysMatterSql()}) {
    EXPECT_EQ(text->find_first_of("\r\n\t"), std::string::npos) << *text;
  }
  EXPECT_EQ(TodayDaysMatterSql().size(), 597u);
  EXPECT_EQ(Fingerprint(TodayDaysMatterSql()), 0x6eaed071b87d755au);
}

using testing_support::Db;
using testing_support::Statement;

std::string Text(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text ? text : "NULL";
}

TEST(TodaySql, DueTodayByZoneAndPinnedNow) {
  const std::vector<DueCase> cases = testing_support::DueTodayCases();
  for (const DueCase& c : cases) {
    ASSERT_TRUE(fs::exists(fs::path("/usr/share/zoneinfo") / c.zone)) << c.zone << ": tzdata is missing";
  }
  TempFolder folder;
  for (const DueCase& c : cases) {
    ScopedTimeZone zone(c.zone);
    std::string failures;
    for (const std::string& failure : testing_support::CheckCase(c, CHIMEWELL_TEMPLATE_DB, folder.Path())) {
      failures += "\n  " + failure;
    }
    EXPECT_TRUE(failures.empty()) << c.name << " [" << c.zone << ", now " << c.now << "]" << failures;
  }
}

// The same statements with the function left out fail loudly instead of
// listing nothing.
TEST(TodaySql, TimedStatementNeedsItsFunction) {
  TempFolder folder;
  const std::string path = folder / "reminder.db";
  fs::copy_file(CHIMEWELL_TEMPLATE_DB, path);
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  const Db db(raw);
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db.get(), TodayReminderSql().c_str(), -1, &statement, nullptr), SQLITE_ERROR);
  EXPECT_NE(std::string(sqlite3_errmsg(db.get())).find("local_unixepoch"), std::string::npos);
  sqlite3_finalize(statement);
}

// Guards the fixture itself: without it a broken clock or zone would show up
// only as wrong due lists.
TEST(TodaySql, PinnedVfsAndZoneDriveSqliteClock) {
  ScopedTimeZone zone("Asia/Shanghai");
  TempFolder folder;
  const std::string path = folder / "reminder.db";
  fs::copy_file(CHIMEWELL_TEMPLATE_DB, path);
  PinnedNowVfs vfs(Instant("2024-03-15 00:00:05+08:00"));
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, vfs.Name()), SQLITE_OK);
  const Db db(raw);
  sqlite3_stmt* prepared = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db.get(), "select strftime('%s','now'), datetime('now','localtime')", -1,
                               &prepared, nullptr),
            SQLITE_OK);
  const Statement query(prepared);
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
