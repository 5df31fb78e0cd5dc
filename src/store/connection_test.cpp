#include "store/connection.h"

#include <sqlite3.h>

#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "testing/sqlite_handles.h"
#include "testing/trace_capture.h"

namespace chimewell::store {
namespace {

using testing_support::TempFolder;

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(CHIMEWELL_TEMPLATE_DB, path_);
  }
  // A single value read with a fresh connection of our own.
  std::string Scalar(DBConnection& connection, const std::string& sql) {
    DBQuery query(connection, sql);
    query.Open();
    return query.RecordCount() == 0 ? "<none>" : query.AsString(0, 0);
  }
  TempFolder folder_;
  std::string path_ = folder_ / "reminder.db";
};

TEST_F(ConnectionTest, OpenAppliesTheFixedSettings) {
  DBConnection connection(path_);
  connection.Open();
  EXPECT_EQ(Scalar(connection, "PRAGMA encoding"), "UTF-8");
  EXPECT_EQ(Scalar(connection, "PRAGMA cache_size"), "10000");
  EXPECT_EQ(Scalar(connection, "PRAGMA locking_mode"), "exclusive");
  EXPECT_EQ(Scalar(connection, "PRAGMA synchronous"), "0");
  EXPECT_EQ(Scalar(connection, "PRAGMA journal_mode"), "delete");
  EXPECT_EQ(Scalar(connection, "PRAGMA foreign_keys"), "1");
  connection.Open();  // already open: nothing happens
  EXPECT_TRUE(connection.Connected());
  connection.Close();
  connection.Close();
  EXPECT_FALSE(connection.Connected());
}

TEST_F(ConnectionTest, AMissingStoreIsNeverCreated) {
  const std::string missing = folder_ / "gone.db";
  DBConnection connection(missing);
  EXPECT_THROW(connection.Open(), DBError);
  EXPECT_FALSE(connection.Connected());
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(ConnectionTest, TextIsBoundAndReadWithoutTrailingControls) {
  struct Case {
    std::string bound, stored;
  };
  const Case cases[] = {
      {"abc", "abc"},       {"abc  ", "abc"},  {"a\r\n", "a"},      {"   ", ""},
      {"", ""},             {"  lead", "  lead"}, {"in\tside", "in\tside"},
      {"x\x01\x1f ", "x"},  {"caf\xC3\xA9 ", "caf\xC3\xA9"},
  };
  DBConnection connection(path_);
  connection.Open();
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.bound + "'");
    DBQuery query(connection, "select :Value, typeof(:Value)");
    query.BindText("Value", c.bound);
    query.Open();
    ASSERT_EQ(query.RecordCount(), 1u);
    EXPECT_EQ(query.AsString(0, 0), c.stored);
    EXPECT_EQ(query.AsString(0, 1), "text");  // an empty text is never NULL
  }
  DBQuery read(connection, "select null, 'padded \r\n', 42, 1.5");
  read.Open();
  EXPECT_EQ(read.AsString(0, 0), "");
  EXPECT_EQ(read.AsString(0, 1), "padded");
  EXPECT_EQ(read.AsString(0, 2), "42");
  EXPECT_EQ(read.AsString(0, 3), "1.5");
  EXPECT_THROW(DBQuery(connection, "select :A").BindText("B", "x"), DBError);
}

// Rows are kept in chunks: every row, the ones on either side of a chunk's
// edge included, reads back as the statement gave it.
TEST_F(ConnectionTest, EveryRowOfALargeResultReadsBack) {
  DBConnection connection(path_);
  connection.Open();
  for (const std::int64_t count : {1000, 3}) {
    SCOPED_TRACE(count);
    DBQuery query(connection,
                   "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < :Count) "
                   "SELECT x, 'row ' || x || '  ', CASE WHEN x % 2 THEN NULL ELSE x / 2.0 END FROM n");
    query.BindInteger("Count", count);
    query.Open();
    ASSERT_EQ(query.RecordCount(), static_cast<std::size_t>(count));
    ASSERT_EQ(query.FieldCount(), 3u);
    for (std::size_t row = 0; row < query.RecordCount(); ++row) {
      const auto x = static_cast<std::int64_t>(row) + 1;
      ASSERT_EQ(std::get<std::int64_t>(query.Value(row, 0)), x) << row;
      ASSERT_EQ(query.AsString(row, 1), "row " + std::to_string(x)) << row;
      if (x % 2 == 0) {
        ASSERT_EQ(std::get<double>(query.Value(row, 2)), static_cast<double>(x) / 2) << row;
      } else {
        ASSERT_EQ(query.AsString(row, 2), "") << row;
      }
    }
  }
  connection.Close();
}

TEST_F(ConnectionTest, ATransactionLeftOpenIsCommittedAtClose) {
  DBConnection connection(path_);
  connection.Open();
  connection.StartTransaction();
  connection.ExecSQL("insert into Reminders (CalendarID, ItemID) values ('c', 'i')");
  EXPECT_TRUE(connection.InTransaction());
  connection.Close();
  connection.Open();
  EXPECT_EQ(Scalar(connection, "select count(*) from Reminders"), "1");
}

// Another process's lock: statements fail at once (no busy wait), and a
// commit that fails at close leaves the connection closed and reusable, with
// the uncommitted change gone.
TEST_F(ConnectionTest, LocksOfOthersFailAtOnceAndAFailedCloseLeavesItUsable) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

  DBConnection connection(path_);
  connection.Open();
  connection.StartTransaction();
  const auto start = std::chrono::steady_clock::now();
  try {
    connection.ExecSQL("insert into Reminders (CalendarID, ItemID) values ('c', 'i')");
    ADD_FAILURE() << "write went through another connection's lock";
  } catch (const DBError& error) {
    EXPECT_STREQ(error.what(), "database is locked");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  connection.Close();
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);

  // Now the other way round: we hold a write, the other holds a read lock,
  // so our commit cannot take the exclusive lock.
  connection.Open();
  connection.StartTransaction();
  connection.ExecSQL("insert into Reminders (CalendarID, ItemID) values ('c', 'i')");
  ASSERT_EQ(sqlite3_exec(other, "BEGIN; select count(*) from sqlite_master", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_THROW(connection.Close(), DBError);
  EXPECT_FALSE(connection.Connected());
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  connection.Open();
  EXPECT_EQ(Scalar(connection, "select count(*) from Reminders"), "0");
  connection.Close();
}

// The store file is untrusted input: what a statement could turn against the
// service or reach beyond the store is refused on every connection, and what
// a planted schema holds (a trigger, a view) never runs.
TEST_F(ConnectionTest, EveryConnectionRefusesWhatTheServiceNeverDoes) {
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    const testing_support::Db plain(raw);
    ASSERT_EQ(sqlite3_exec(plain.get(),
                           "create trigger Wipe after insert on Reminders begin delete from Reminders; end;"
                           "create view Planted as select * from Reminders;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  const std::string outside = folder_ / "outside.db";
  const std::string refused[] = {
      "attach database '" + outside + "' as x",
      "detach database main",
      "create table x.t (a)",
      "create table t (a)",
      "create temp table t (a)",
      "drop table Reminders",
      "drop trigger Wipe",
      "alter table Reminders add column x",
      "create virtual table v using fts3 (a)",
      "create virtual table v using fts5 (a)",
      "select fts3_tokenizer('simple', x'4141414141414141')",
      "select load_extension('" + outside + "')",
      "PRAGMA writable_schema = 1",
      "PRAGMA trusted_schema = 1",
      "savepoint s",
      "analyze",
      "reindex",
      "select * from Planted",
  };
  DBConnection connection(path_);
  connection.Open();
  for (const std::string& sql : refused) {
    SCOPED_TRACE(sql);
    EXPECT_THROW(connection.ExecSQL(sql), DBError);
  }
  connection.ExecSQL("insert into Reminders (CalendarID, ItemID) values ('c', 'i')");
  EXPECT_EQ(Scalar(connection, "select count(*) from Reminders"), "1");  // the trigger never ran
  connection.Close();
  EXPECT_FALSE(std::filesystem::exists(outside));
}

}  // namespace
}  // namespace chimewell::store
