#include "store/reminder_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "testing/fault_injecting_file_system.h"
#include "testing/fixed_clock.h"
#include "testing/sqlite_handles.h"
#include "testing/trace_capture.h"

namespace chimewell::store {
namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::TraceCapture;
using Texts = std::vector<std::string>;

// Every row of the table as "Cal|Item|Type|Enabled|Start|Repeat|End|Last",
// NULL written as "-", ordered by CalendarID and ItemID.
std::vector<std::string> Rows(const std::string& path) {
  DBConnection connection(path);
  connection.Open();
  DBQuery query(connection,
                 "select CalendarID, ItemID, ReminderType, Enabled, StartTime, Repeat, RepeatEnd, "
                 "ifnull(LastNotified, '-') from Reminders order by CalendarID, ItemID");
  query.Open();
  std::vector<std::string> rows;
  for (std::size_t r = 0; r < query.RecordCount(); ++r) {
    std::string row;
    for (std::size_t f = 0; f < query.FieldCount(); ++f) row += (f ? "|" : "") + query.AsString(r, f);
    rows.push_back(row);
  }
  connection.Close();
  return rows;
}

// Runs SQL on a store through a plain connection of the test's own: the
// service's connections refuse schema changes.
void ExecPlain(const std::string& path, const std::string& sql) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  const testing_support::Db db(raw);
  ASSERT_EQ(opened, SQLITE_OK) << path;
  ASSERT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db.get());
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::copy_file(CHIMEWELL_TEMPLATE_DB, path_); }
  void Seed(const std::string& sql) {
    DBConnection connection(path_);
    connection.Open();
    connection.ExecSQL(sql);
    connection.Close();
  }
  TempFolder folder_;
  std::string path_ = folder_ / "reminder.db";
  DBConnection connection_{path_};
};

ReminderCommand Command(std::string method, std::string calendar, std::string item,
                         std::int32_t type = 0, std::int32_t enabled = 1, std::int64_t start = 100,
                         std::int32_t repeat = 0, std::int64_t end = 0) {
  return {std::move(method), std::move(calendar), std::move(item), type, enabled, start, repeat, end, ""};
}

const char* const kSeed =
    "insert into Reminders values ('A','i1',0,1,100,0,0,500);"
    "insert into Reminders values ('A','i2',1,1,200,5,0,NULL);"
    "insert into Reminders values ('B','i1',0,0,300,1,900,600);";

// Each procedure against the same starting table.
TEST_F(StoreTest, ProceduresChangeTheTableAsTheirCommandSays) {
  struct Case {
    const char* name;
    std::function<void(DBConnection&)> proc;
    std::vector<std::string> rows;
    Texts trace;
  };
  const Case cases[] = {
      {"append",
       [](DBConnection& c) { InsertReminderProc(c, Command("Reminder.Append", "C", "i9", 1, 1, 7, 3, 8)); },
       {"A|i1|0|1|100|0|0|500", "A|i2|1|1|200|5|0|-", "B|i1|0|0|300|1|900|600", "C|i9|1|1|7|3|8|-"},
       {}},
      {"append of an existing pair is refused by the key",
       [](DBConnection& c) { InsertReminderProc(c, Command("Reminder.Append", "A", "i1", 1, 0, 7)); },
       {"A|i1|0|1|100|0|0|500", "A|i2|1|1|200|5|0|-", "B|i1|0|0|300|1|900|600"},
       {"Error!Method[Reminder.Append],Exception:UNIQUE constraint failed: Reminders.CalendarID, "
        "Reminders.ItemID"}},
      {"update clears LastNotified and keeps the type",
       [](DBConnection& c) { UpdateReminderProc(c, Command("Reminder.Update", "A", "i1", 1, 0, 7, 2, 9)); },
       {"A|i1|0|0|7|2|9|-", "A|i2|1|1|200|5|0|-", "B|i1|0|0|300|1|900|600"},
       {}},
      {"update of no row changes nothing",
       [](DBConnection& c) { UpdateReminderProc(c, Command("Reminder.Update", "Z", "i1")); },
       {"A|i1|0|1|100|0|0|500", "A|i2|1|1|200|5|0|-", "B|i1|0|0|300|1|900|600"},
       {}},
      {"delete",
       [](DBConnection& c) { DeleteReminderProc(c, Command("Reminder.Delete", "A", "i1")); },
       {"A|i2|1|1|200|5|0|-", "B|i1|0|0|300|1|900|600"},
       {"Delete CalendarID:A,ItemID:i1 over."}},
      {"delete of no row still traces its line",
       [](DBConnection& c) { DeleteReminderProc(c, Command("Reminder.Delete", "A", "nope")); },
       {"A|i1|0|1|100|0|0|500", "A|i2|1|1|200|5|0|-", "B|i1|0|0|300|1|900|600"},
       {"Delete CalendarID:A,ItemID:nope over."}},
      {"clear removes both types of one calendar",
       [](DBConnection& c) { ClearCalendarProc(c, Command("Reminder.Clear", "A", "")); },
       {"B|i1|0|0|300|1|900|600"},
       {}},
      {"ids with trailing blanks match without them",
       [](DBConnection& c) { DeleteReminderProc(c, Command("Reminder.Delete", "A \r\n", "i2  ")); },
       {"A|i1|0|1|100|0|0|500", "B|i1|0|0|300|1|900|600"},
       // The line's own line break stays inside its record, escaped.
       {"Delete CalendarID:A \\r\\n,ItemID:i2   over."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Seed("delete from Reminders;");
    Seed(kSeed);
    TraceCapture trace;
    AccessDB(connection_, [&] { c.proc(connection_); });
    Texts traced = trace.Texts();
    EXPECT_EQ(traced, c.trace);
    EXPECT_FALSE(connection_.Connected());
    EXPECT_EQ(Rows(path_), c.rows);
  }
}

TEST_F(StoreTest, AlertMarksEveryListedItemInEveryCalendarAndDumpsItsStatement) {
  Seed(kSeed);
  Seed("insert into Reminders values ('C','it''s',0,1,1,0,0,NULL);");
  ReminderCommand alert = Command("Reminder.Alert", "", "");
  alert.LInItemSql = "'i1','it''s'";
  const std::string dump = folder_ / "~~Alert.dat";
  TraceCapture trace;
  AccessDB(connection_, [&] { MarkAlertedProc(connection_, alert, 1706666400, platform::RealFileSystem(), dump); });
  EXPECT_EQ(trace.Texts(), Texts{});
  EXPECT_EQ(Rows(path_), (std::vector<std::string>{"A|i1|0|1|100|0|0|1706666400", "A|i2|1|1|200|5|0|-",
                                                   "B|i1|0|0|300|1|900|1706666400",
                                                   "C|it's|0|1|1|0|0|1706666400"}));
  EXPECT_EQ(ReadFile(dump),
            "update reminders set lastnotified= 1706666400 where ItemID in ('i1','it''s')");
}

TEST_F(StoreTest, AlertStillUpdatesWhenItsDumpCannotBeWritten) {
  Seed(kSeed);
  ReminderCommand alert = Command("Reminder.Alert", "", "");
  alert.LInItemSql = "'i2'";
  TraceCapture trace;
  AccessDB(connection_, [&] {
    MarkAlertedProc(connection_, alert, 42, platform::RealFileSystem(), folder_ / "missing-cache/~~Alert.dat");
  });
  const Texts traced = trace.Texts();
  ASSERT_EQ(traced.size(), 1u);
  EXPECT_EQ(traced[0].rfind("Error!Method[Reminder.Alert],Exception:Can not create " +
                                (folder_ / "missing-cache/~~Alert.dat"),
                            0),
            0u)
      << traced[0];
  EXPECT_EQ(Rows(path_)[1], "A|i2|1|1|200|5|0|42");
}

TEST_F(StoreTest, AFailedStatementIsTracedAndTheDumpStillHoldsIt) {
  ExecPlain(path_, "drop table Reminders;");
  ReminderCommand alert = Command("reminder.alert", "", "");
  alert.LInItemSql = "'x'";
  const std::string dump = folder_ / "~~Alert.dat";
  TraceCapture trace;
  AccessDB(connection_, [&] { MarkAlertedProc(connection_, alert, 7, platform::RealFileSystem(), dump); });
  EXPECT_EQ(trace.Texts(), Texts{"Error!Method[reminder.alert],Exception:no such table: reminders"});
  EXPECT_EQ(ReadFile(dump), "update reminders set lastnotified= 7 where ItemID in ('x')");
}

TEST_F(StoreTest, AnotherProcessesWriteLockIsTracedAtOnceAndNothingIsLost) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  {
    TraceCapture trace;
    AccessDB(connection_, [&] { InsertReminderProc(connection_, Command("Reminder.Append", "A", "i1")); });
    EXPECT_EQ(trace.Texts(), Texts{"Error!Method[Reminder.Append],Exception:database is locked"});
  }
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  AccessDB(connection_, [&] { InsertReminderProc(connection_, Command("Reminder.Append", "A", "i1")); });
  EXPECT_EQ(Rows(path_), std::vector<std::string>{"A|i1|0|1|100|0|0|-"});
}

TEST_F(StoreTest, AStoreDeletedWhileRunningIsNotRecreatedEmpty) {
  fs::remove(path_);
  TraceCapture trace;
  AccessDB(connection_, [&] { ClearCalendarProc(connection_, Command("Reminder.Clear", "A", "")); });
  EXPECT_EQ(trace.Texts(), Texts{"Error!AccessDB,Exception:unable to open database file"});
  EXPECT_FALSE(fs::exists(path_));
}

class PrepareTest : public ::testing::Test {
 protected:
  PrepareDBContext Context(const std::string& template_path = CHIMEWELL_TEMPLATE_DB) {
    return {files_, data_dir_ + "reminder.db", template_path, data_dir_, [this] { ++quits_; }, clock_};
  }
  TempFolder folder_;
  std::string data_dir_ = folder_ / "Pelicorda/Calendar/Data/users/u 1/";
  int quits_ = 0;
  std::unique_ptr<DBConnection> connection_;
  testing_support::FaultInjectingFileSystem files_;
  testing_support::FixedClock clock_;
};

TEST_F(PrepareTest, FirstStartMakesTheFoldersAndCopiesTheTemplate) {
  TraceCapture trace;
  EXPECT_TRUE(PrepareDB(connection_, Context()));
  EXPECT_EQ(trace.Texts(), Texts{"PrpareDB [" + data_dir_ + "reminder.db] : True"});
  EXPECT_EQ(quits_, 0);
  ASSERT_TRUE(connection_);
  EXPECT_FALSE(connection_->Connected());
  EXPECT_EQ(ReadFile(data_dir_ + "reminder.db"), ReadFile(CHIMEWELL_TEMPLATE_DB));
  EXPECT_FALSE(fs::exists(data_dir_ + "reminder.db~"));
  EXPECT_TRUE(Rows(data_dir_ + "reminder.db").empty());

  TraceCapture again;
  EXPECT_TRUE(PrepareDB(connection_, Context("/nowhere/base.db")));
  EXPECT_EQ(again.Texts(), Texts{});
}

// An empty file serves nothing and would fail every command: it is made
// again from the template, and no copy of it is kept.
TEST_F(PrepareTest, AZeroLengthStoreIsMadeAgainFromTheTemplateWithoutACopy) {
  const std::string store = data_dir_ + "reminder.db";
  fs::create_directories(data_dir_);
  std::ofstream(store).close();
  TraceCapture trace;
  EXPECT_TRUE(PrepareDB(connection_, Context()));
  EXPECT_EQ(trace.Texts(),
            (Texts{"Error!Store damaged [" + store + "] : an empty file",
                   "Error!Store made again from the template : 0 reminders salvaged; refused: 0 of another "
                   "shape, 0 twice; 0 pages unreadable",
                   "PrpareDB [" + store + "] : True"}));
  EXPECT_EQ(ReadFile(store), ReadFile(CHIMEWELL_TEMPLATE_DB));
  EXPECT_EQ(std::distance(fs::directory_iterator(data_dir_), fs::directory_iterator()), 1);
}

TEST_F(PrepareTest, FailuresBeforeTheOpenAskTheLoopToQuit) {
  {
    TraceCapture trace;
    EXPECT_FALSE(PrepareDB(connection_, Context(folder_ / "templates/base.db")));
    EXPECT_EQ(trace.Texts(), Texts{"Error!Not found " + (folder_ / "templates/base.db")});
    EXPECT_FALSE(fs::exists(folder_ / "Pelicorda"));
    EXPECT_EQ(quits_, 1);
    EXPECT_FALSE(connection_);
  }
  {
    // A file where the user's folder chain should go.
    fs::create_directories(folder_ / "Pelicorda/Calendar/Data");
    std::ofstream(folder_ / "Pelicorda/Calendar/Data/users").close();
    TraceCapture trace;
    EXPECT_FALSE(PrepareDB(connection_, Context()));
    EXPECT_EQ(trace.Texts(), Texts{"Error!Can not create dir : " + data_dir_});
    EXPECT_EQ(quits_, 2);
  }
}

// A store of `count` reminders, with ids long enough to fill several pages of
// the table and of each index.
void SeedMany(const std::string& path, int count) {
  DBConnection connection(path);
  connection.Open();
  connection.ExecSQL(
      "with recursive n(i) as (select 1 union all select i + 1 from n where i < " +
      std::to_string(count) +
      ") insert into Reminders select 'Calendar-' || (i % 3), printf('item-%06d-', i) || "
      "hex(zeroblob(20)), i % 2, 1, 1700000000 + i, i % 6, 0, null from n");
  connection.Close();
}

// The first leaf page of a table or index and how many rows it holds.
struct Page {
  std::int64_t number = 0;
  std::int64_t cells = 0;
};
Page FirstLeafPage(const std::string& path, const std::string& btree) {
  DBConnection connection(path);
  connection.Open();
  DBQuery query(connection, "select pageno, ncell from dbstat where name = '" + btree +
                                "' and pagetype = 'leaf' order by pageno limit 1");
  query.Open();
  const Page page{std::get<std::int64_t>(query.Value(0, 0)), std::get<std::int64_t>(query.Value(0, 1))};
  connection.Close();
  return page;
}

// Writes `bytes` over the file from `offset` on.
void Overwrite(const std::string& path, std::int64_t offset, const std::string& bytes) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(offset);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

constexpr int kPageSize = 4096;  // the template's
// A page the power cut left unwritten: the torn half holds zeros.
void TearPage(const std::string& path, std::int64_t page) {
  Overwrite(path, (page - 1) * kPageSize + kPageSize / 2, std::string(kPageSize / 2, '\0'));
}

// A damaged store is kept aside byte for byte, and a store made from the
// template with every row that can still be read takes its place; each step
// is traced as an error.
TEST_F(PrepareTest, ADamagedStoreIsKeptAsideAndRepairedWithEveryReadableRow) {
  constexpr int kRows = 300;
  struct Case {
    const char* name;
    std::function<void(const std::string& store)> damage;  // on a store of kRows rows
    // At most this many rows lost (measured before the damage); exactly as
    // many when `exact`, else the rest of the torn page may come back cut.
    std::function<int(const std::string& store)> lost;
    bool exact;
  };
  const auto none = [](const std::string&) { return 0; };
  const auto all = [](const std::string&) { return kRows; };
  const Case cases[] = {
      {"torn index page",
       [](const std::string& s) { TearPage(s, FirstLeafPage(s, "RemindersItemID").number); }, none, true},
      {"torn table page",
       [](const std::string& s) { TearPage(s, FirstLeafPage(s, "Reminders").number); },
       [](const std::string& s) { return static_cast<int>(FirstLeafPage(s, "Reminders").cells); }, false},
      {"zeroed header", [](const std::string& s) { Overwrite(s, 0, std::string(100, '\0')); }, none, true},
      {"a text file",
       [](const std::string& s) {
         std::ofstream(s, std::ios::trunc) << "not a database, but long enough to have a header......"
                                              "..............................................";
       },
       all, true},
      {"another schema: the table under another name",
       [](const std::string& s) { ExecPlain(s, "alter table Reminders rename to Other"); }, none, true},
      {"another schema: a trigger",
       [](const std::string& s) {
         ExecPlain(s, "create trigger Undo after insert on Reminders begin delete from Reminders; end");
       },
       none, true},
  };
  const std::string store = data_dir_ + "reminder.db";
  const std::string kept = store + ".damaged-20240131-100000";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(data_dir_);
    fs::create_directories(data_dir_);
    fs::copy_file(CHIMEWELL_TEMPLATE_DB, store);
    SeedMany(store, kRows);
    const std::vector<std::string> before = Rows(store);
    const int lost = c.lost(store);
    c.damage(store);
    const std::string damaged = ReadFile(store);
    connection_.reset();
    TraceCapture trace;
    EXPECT_TRUE(PrepareDB(connection_, Context()));
    const Texts traced = trace.Texts();
    EXPECT_EQ(quits_, 0);
    const std::vector<std::string> after = Rows(store);
    std::vector<std::string> intact;
    std::set_intersection(before.begin(), before.end(), after.begin(), after.end(),
                          std::back_inserter(intact));
    EXPECT_GE(intact.size(), before.size() - lost);
    if (c.exact) {
      EXPECT_EQ(after.size(), before.size() - lost);
    }

    ASSERT_GE(traced.size(), 4u);
    EXPECT_EQ(traced[0].rfind("Error!Store damaged [" + store + "] : ", 0), 0u) << traced[0];
    // The first line may run on in further pieces of the trace.
    EXPECT_NE(std::find(traced.begin() + 1, traced.end(), "Error!Damaged store kept as " + kept), traced.end());
    EXPECT_EQ(traced[traced.size() - 2].rfind("Error!Store made again from the template : " +
                                                  std::to_string(after.size()) + " reminders salvaged",
                                              0),
              0u)
        << traced[traced.size() - 2];
    EXPECT_EQ(traced.back(), "PrpareDB [" + store + "] : True");
    EXPECT_EQ(ReadFile(kept), damaged);
    EXPECT_FALSE(fs::exists(store + "~"));
  }
}

// Another user, or anyone at all, could put any bytes in a store they may
// write or own: the service does not serve from it, says why and ends.
TEST_F(PrepareTest, AFolderOrStoreOfAnotherUserOrWritableByOthersIsRefused) {
  const std::string store = data_dir_ + "reminder.db";
  struct Case {
    const char* name;
    std::function<void()> make_unsafe;
    std::string traced;
  };
  const Case cases[] = {
      {"folder writable by others", [&] { ::chmod(data_dir_.c_str(), 0777); },
       "Error!Unsafe data folder " + data_dir_ + ": mode 0777 lets other users write it"},
      {"folder of another user", [&] { ASSERT_EQ(::chown(data_dir_.c_str(), 65534, 65534), 0); },
       "Error!Unsafe data folder " + data_dir_ + ": owned by user 65534"},
      {"store writable by others", [&] { ::chmod(store.c_str(), 0646); },
       "Error!Unsafe store " + store + ": mode 0646 lets other users write it"},
      {"store of another user", [&] { ASSERT_EQ(::chown(store.c_str(), 65534, 65534), 0); },
       "Error!Unsafe store " + store + ": owned by user 65534"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (::geteuid() != 0 && std::string(c.name).find("another user") != std::string::npos) continue;
    fs::remove_all(data_dir_);
    fs::create_directories(data_dir_);
    ::chmod(data_dir_.c_str(), 0755);
    fs::copy_file(CHIMEWELL_TEMPLATE_DB, store);
    ::chmod(store.c_str(), 0644);
    c.make_unsafe();
    connection_.reset();
    const int quits = quits_;
    TraceCapture trace;
    EXPECT_FALSE(PrepareDB(connection_, Context()));
    std::string traced;
    for (const std::string& piece : trace.Texts()) traced += piece;
    EXPECT_EQ(traced, c.traced);
    EXPECT_EQ(quits_, quits + 1);
    EXPECT_EQ(ReadFile(store), ReadFile(CHIMEWELL_TEMPLATE_DB));
  }
}

TEST_F(PrepareTest, ACopyThatFailsIsTracedWithTheSystemsErrorCode) {
  fs::create_directories(data_dir_);
  fs::create_directory(data_dir_ + "reminder.db");  // a folder: not a store, and no file can replace it
  TraceCapture trace;
  EXPECT_FALSE(PrepareDB(connection_, Context()));
  const Texts traced = trace.Texts();
  ASSERT_EQ(traced.size(), 1u);
  EXPECT_EQ(traced[0].rfind("Error!copy " + std::string(CHIMEWELL_TEMPLATE_DB) + " to " + data_dir_ +
                                "reminder.db failed : ",
                            0),
            0u)
      << traced[0];
  EXPECT_EQ(quits_, 1);
}

// Whichever step of putting the template in place fails, no store and no
// partial copy stay behind, the failure is traced with the system's code and
// the service is asked to quit; the next start copies again.
TEST_F(PrepareTest, ATemplateCopyThatFailsLeavesNothingBehind) {
  const std::string store = data_dir_ + "reminder.db";
  for (const platform::FileStep step : {platform::FileStep::kCopy, platform::FileStep::kSync,
                                        platform::FileStep::kMove}) {
    SCOPED_TRACE(static_cast<int>(step));
    files_.FailNth(step, 1, 28);
    TraceCapture trace;
    EXPECT_FALSE(PrepareDB(connection_, Context()));
    EXPECT_EQ(trace.Texts(), Texts{"Error!copy " + std::string(CHIMEWELL_TEMPLATE_DB) + " to " + store +
                                   " failed : 28"});
    EXPECT_FALSE(fs::exists(store));
    EXPECT_FALSE(fs::exists(store + "~"));
    EXPECT_FALSE(connection_);
  }
  EXPECT_EQ(quits_, 3);
  EXPECT_TRUE(PrepareDB(connection_, Context()));
  EXPECT_EQ(ReadFile(store), ReadFile(CHIMEWELL_TEMPLATE_DB));
}

}  // namespace
}  // namespace chimewell::store
