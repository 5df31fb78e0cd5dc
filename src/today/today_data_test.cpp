#include "today/today_data.h"

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "testing/fault_injecting_file_system.h"
#include "testing/sqlite_handles.h"
#include "testing/trace_capture.h"
#include "today/today_sql.h"

namespace chimewell::today {
namespace {

namespace fs = std::filesystem;
using platform::FileStep;
using testing_support::FaultInjectingFileSystem;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::TraceCapture;
using Texts = std::vector<std::string>;

// A real store from the template, read in UTC so that daily reminders that
// began yesterday are always due.
class TodayDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    fs::copy_file(CHIMEWELL_TEMPLATE_DB, db_);
    fs::create_directories(folders_.today_dir);
  }
  void Seed(const std::string& sql) {
    store::DBConnection connection(db_);
    connection.Open();
    connection.ExecSQL(sql);
    connection.Close();
  }
  // A daily timed reminder at 00:00:01 UTC that began yesterday.
  void AddDaily(const std::string& calendar, const std::string& item) {
    Seed("insert into Reminders values ('" + calendar + "','" + item + "',0,1," +
         std::to_string(yesterday_) + ",1,0,NULL)");
  }
  std::string Today() const {
    char text[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&now));
    return text;
  }
  std::string TodaySeconds() const { return std::to_string(yesterday_ + 86400); }

  TempFolder folder_;
  std::string db_ = folder_ / "reminder.db";
  TodayFolders folders_{folder_ / "cache/today/", folder_ / "cache/"};
  store::DBConnection connection_{db_};
  FaultInjectingFileSystem files_;
  std::int64_t yesterday_ = (std::time(nullptr) / 86400 - 1) * 86400 + 1;
};

TEST_F(TodayDataTest, WritesTheDocumentTracesEachRowAndDumpsTheStatement) {
  AddDaily("Work", "a/b");
  AddDaily("Home", "caf\xC3\xA9\t1");
  TraceCapture trace;
  EXPECT_TRUE(MakeTodayReminderData(connection_, folders_, files_));
  const std::string target = folders_.today_dir + "reminder.json";
  const std::string when = Today() + " 00:00:01";
  // Both rows share FinalNotifyTime, so their order is SQLite's: accept either.
  const std::string work = "\"Calendar_Work\":{\"ID\":\"Work\",\"Reminds\":[{\"ItemID\":\"a\\/b\",\"RemindTime\":" +
                           TodaySeconds() + ",\"RemindTimeStr\":\"" + when + "\"}]}";
  const std::string home = "\"Calendar_Home\":{\"ID\":\"Home\",\"Reminds\":[{\"ItemID\":\"caf\xC3\xA9\\t1\",\"RemindTime\":" +
                           TodaySeconds() + ",\"RemindTimeStr\":\"" + when + "\"}]}";
  const std::string document = ReadFile(target);
  EXPECT_TRUE(document == "{" + work + "," + home + "}" || document == "{" + home + "," + work + "}")
      << document;
  EXPECT_FALSE(fs::exists(target + "~"));
  EXPECT_EQ(ReadFile(folders_.user_cache_dir + "~~reminder.dat"), TodayReminderSql());

  const Texts traced = trace.Texts();
  ASSERT_EQ(traced.size(), 6u);
  EXPECT_EQ(traced[0], "MakeTodayReminderData >");
  EXPECT_EQ(traced[1], "Record.count : 2");
  EXPECT_EQ(traced[2].rfind("  >> Item CalendarID : ", 0), 0u);
  EXPECT_NE(std::find(traced.begin(), traced.end(),
                      "  >> Item CalendarID : Work , ItemID : a/b , RemindTime : " + TodaySeconds() +
                          " , RemindTimeStr : " + when),
            traced.end());
  EXPECT_EQ(traced[4], target + " refreshd.");
  EXPECT_EQ(traced[5], "MakeTodayReminderData over.");
}

TEST_F(TodayDataTest, ReplacesThroughTheTildeFileAndDeletesWhenNothingIsDue) {
  const std::string target = folders_.today_dir + "daysmatter.json";
  const std::string today_start = std::to_string(yesterday_ + 86400 - 1);
  Seed("insert into Reminders values ('C','d1',1,1," + today_start + ",0,0,NULL)");
  EXPECT_TRUE(MakeTodayDaysMatterData(connection_, folders_, files_));
  EXPECT_EQ(ReadFile(target), R"({"Calendar_C":{"ID":"C","Reminds":[{"ItemID":"d1"}]}})");

  Seed("insert into Reminders values ('C','d2',1,1," + today_start + ",5,0,NULL)");
  EXPECT_TRUE(MakeTodayDaysMatterData(connection_, folders_, files_));
  const std::string both = ReadFile(target);
  EXPECT_TRUE(both == R"({"Calendar_C":{"ID":"C","Reminds":[{"ItemID":"d1"},{"ItemID":"d2"}]}})" ||
              both == R"({"Calendar_C":{"ID":"C","Reminds":[{"ItemID":"d2"},{"ItemID":"d1"}]}})")
      << both;
  EXPECT_FALSE(fs::exists(target + "~"));
  EXPECT_EQ(ReadFile(folders_.user_cache_dir + "~~DaysMatter.dat"), TodayDaysMatterSql());

  Seed("delete from Reminders");
  TraceCapture trace;
  EXPECT_TRUE(MakeTodayDaysMatterData(connection_, folders_, files_));
  EXPECT_EQ(trace.Texts(), (Texts{"MakeTodayDaysMatterData >", "Error!No DaysMatter data.",
                                  "MakeTodayDaysMatterData over."}));
  EXPECT_FALSE(fs::exists(target));
}

// The calendar must never meet a missing or half-written file: when the new
// document cannot take the old one's place, the old one stays whole.
TEST_F(TodayDataTest, AFailedMoveKeepsTheOldFileAndTheNewDocumentBeside) {
  AddDaily("A", "i1");
  const std::string target = folders_.today_dir + "reminder.json";
  std::ofstream(target) << "old";
  files_.FailNth(FileStep::kMove, 1);
  TraceCapture trace;
  EXPECT_TRUE(MakeTodayReminderData(connection_, folders_, files_));
  const Texts traced = trace.Texts();
  ASSERT_EQ(traced.size(), 5u);
  EXPECT_EQ(traced[3], "Error!move " + target + "~ to " + target + " failed : 5");
  EXPECT_EQ(traced[4], "MakeTodayReminderData over.");
  EXPECT_EQ(ReadFile(target), "old");
  EXPECT_EQ(ReadFile(target + "~").rfind("{\"Calendar_A\":", 0), 0u);

  // The next rebuild puts the document in place.
  EXPECT_TRUE(MakeTodayReminderData(connection_, folders_, files_));
  EXPECT_EQ(ReadFile(target).rfind("{\"Calendar_A\":", 0), 0u);
  EXPECT_FALSE(fs::exists(target + "~"));
}

// A write that stops short or a flush that fails never reaches the target:
// the old file stays whole and the failure is traced with the step's error.
TEST_F(TodayDataTest, AShortWriteOrAFailedFlushLeavesTheOldFileWhole) {
  AddDaily("A", "i1");
  const std::string target = folders_.today_dir + "reminder.json";
  struct Case {
    FileStep step;
    int nth;  // the dump is the first write, the document the second
    std::string error;
  };
  const Case cases[] = {
      {FileStep::kWrite, 2, "Injected short write to " + target + "~"},
      {FileStep::kSync, 1, "Injected failure on " + target + "~"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    std::ofstream(target) << "old";
    files_.FailNth(c.step, c.nth);
    TraceCapture trace;
    EXPECT_TRUE(MakeTodayReminderData(connection_, folders_, files_));
    const Texts traced = trace.Texts();
    ASSERT_EQ(traced.size(), 5u);
    EXPECT_EQ(traced[3], "Error!MakeTodayReminderData#LQuery,Exception:" + c.error);
    EXPECT_EQ(ReadFile(target), "old");
  }
}

// Flushed before the move: a power cut right after a rebuild leaves the
// whole new document, never an empty file.
TEST_F(TodayDataTest, ARebuiltFileSurvivesAPowerCut) {
  AddDaily("A", "i1");
  const std::string target = folders_.today_dir + "reminder.json";
  EXPECT_TRUE(MakeTodayReminderData(connection_, folders_, files_));
  const std::string document = ReadFile(target);
  files_.PowerCut();
  EXPECT_EQ(ReadFile(target), document);
  EXPECT_EQ(document.rfind("{\"Calendar_A\":", 0), 0u);
}

TEST_F(TodayDataTest, ErrorsBeforeTheDocumentReachTheCallerWithTheStoreClosed) {
  AddDaily("A", "i1");
  {
    // A connection of the test's own: the service's refuse schema changes.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db_.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    const testing_support::Db plain(raw);
    ASSERT_EQ(sqlite3_exec(plain.get(), "drop table Reminders", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  TraceCapture trace;
  EXPECT_THROW(MakeTodayReminderData(connection_, folders_, files_), store::DBError);
  EXPECT_EQ(trace.Texts(), Texts{"MakeTodayReminderData >"});
  EXPECT_FALSE(connection_.Connected());
}

TEST_F(TodayDataTest, ADumpThatCannotBeWrittenDoesNotStopTheRun) {
  AddDaily("A", "i1");
  const TodayFolders no_cache{folders_.today_dir, folder_ / "missing/"};
  TraceCapture trace;
  EXPECT_TRUE(MakeTodayReminderData(connection_, no_cache, files_));
  const Texts traced = trace.Texts();
  ASSERT_EQ(traced.size(), 6u);
  EXPECT_EQ(traced[1].rfind("Error!MakeTodayReminderData,Exception:Can not create " + no_cache.user_cache_dir +
                                "~~reminder.dat",
                            0),
            0u)
      << traced[1];
  EXPECT_TRUE(fs::exists(folders_.today_dir + "reminder.json"));
}

}  // namespace
}  // namespace chimewell::today
