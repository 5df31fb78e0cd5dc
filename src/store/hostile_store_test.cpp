// Stores made hostile on purpose, as anyone who can write the user's folder
// (or a disk fault) could leave them: each is made by the test from the
// template, then prepared as at a start.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "store/reminder_store.h"
#include "store/salvage.h"
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
using RowSet = std::set<std::string>;

constexpr std::size_t kMostCopies = 3;
constexpr int kPageSize = 4096;  // the template's
constexpr char kCopyPrefix[] = "reminder.db.damaged-";

// A plain connection of the test's own: the service's refuse what these
// stores are made with.
testing_support::Db Plain(const std::string& path) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  testing_support::Db db(raw);
  if (opened != SQLITE_OK) ADD_FAILURE() << "cannot open " << path;
  return db;
}

void Exec(sqlite3* db, const std::string& sql) {
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db)
                                                                                  << "\n" << sql;
}

std::vector<std::string> Column(sqlite3* db, const std::string& sql) {
  std::vector<std::string> values;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(db) << "\n" << sql;
    return values;
  }
  const testing_support::Statement statement(raw);
  while (sqlite3_step(raw) == SQLITE_ROW) {
    const auto* text = sqlite3_column_text(raw, 0);
    values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "-");
  }
  return values;
}

// Every row of a table (or view) as "Cal|Item|Type|Enabled|Start|Repeat|End|Last".
constexpr char kRowText[] =
    "CalendarID||'|'||ItemID||'|'||ReminderType||'|'||Enabled||'|'||StartTime||'|'||Repeat||'|'||"
    "RepeatEnd||'|'||ifnull(LastNotified,'-')";

RowSet Rows(const std::string& path, const std::string& table = "Reminders") {
  const testing_support::Db db = Plain(path);
  const std::vector<std::string> rows = Column(db.get(), std::string("select ") + kRowText + " from " + table);
  return {rows.begin(), rows.end()};
}

// The schema without root pages: what must equal the template's.
std::vector<std::string> Schema(const std::string& path) {
  const testing_support::Db db = Plain(path);
  return Column(db.get(), "select type||' '||name||' '||tbl_name||' '||ifnull(sql,'') from sqlite_schema "
                          "order by type, name");
}

// `count` reminders with ids long enough to fill many pages of the table and
// of each index.
void Seed(const std::string& path, int count) {
  const testing_support::Db db = Plain(path);
  Exec(db.get(), "with recursive n(i) as (select 1 union all select i + 1 from n where i < " +
                     std::to_string(count) +
                     ") insert into Reminders select 'Calendar-' || (i % 3), printf('item-%06d-', i) || "
                     "hex(zeroblob(20)), i % 2, 1, 1700000000 + i, i % 6, 0, nullif(i % 4, 0) from n");
}

void Overwrite(const std::string& path, std::int64_t offset, const std::string& bytes) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(offset);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Pages of one kind, from the store's own page statistics.
std::vector<std::int64_t> Pages(const std::string& path, const std::string& where) {
  const testing_support::Db db = Plain(path);
  std::vector<std::int64_t> pages;
  for (const std::string& page : Column(db.get(), "select pageno from dbstat where " + where)) {
    pages.push_back(std::stoll(page));
  }
  return pages;
}

// The first leaf page of the ItemID index torn (its second half zeros), as a
// power cut leaves it: the store is damaged, the table's pages are intact.
void TearAnIndexPage(const std::string& path) {
  const std::vector<std::int64_t> leaves = Pages(path, "name = 'RemindersItemID' and pagetype = 'leaf'");
  ASSERT_FALSE(leaves.empty());
  Overwrite(path, (leaves.front() - 1) * kPageSize + kPageSize / 2, std::string(kPageSize / 2, '\0'));
}

// Random bytes over random pages that hold no table rows (the schema page,
// interior pages, index pages), as a disk fault could write them; every leaf
// page of the table stays byte for byte.
void DamageAroundTheTable(const std::string& path, unsigned seed) {
  const std::vector<std::int64_t> pages = Pages(path, "not (name = 'Reminders' and pagetype = 'leaf')");
  ASSERT_FALSE(pages.empty());
  std::mt19937 random(seed);
  const int spans = 1 + static_cast<int>(random() % 8);
  for (int i = 0; i < spans; ++i) {
    const std::int64_t page = pages[random() % pages.size()];
    const std::size_t length = 1 + random() % kPageSize;
    const std::size_t offset = random() % (kPageSize - length + 1);
    std::string bytes(length, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    Overwrite(path, (page - 1) * kPageSize + static_cast<std::int64_t>(offset), bytes);
  }
}

// Replaces the Reminders entry's schema text by `text`, kept byte for byte.
void SetSchemaText(const std::string& path, const std::string& text) {
  const testing_support::Db db = Plain(path);
  Exec(db.get(), "PRAGMA writable_schema = ON");
  sqlite3_stmt* raw = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db.get(), "update sqlite_schema set sql = ?1 where name = 'Reminders'", -1, &raw,
                               nullptr),
            SQLITE_OK);
  const testing_support::Statement statement(raw);
  sqlite3_bind_text(raw, 1, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  ASSERT_EQ(sqlite3_step(raw), SQLITE_DONE) << sqlite3_errmsg(db.get());
}

std::string TemplateTableText() {
  const testing_support::Db db = Plain(CHIMEWELL_TEMPLATE_DB);
  return Column(db.get(), "select sql from sqlite_schema where name = 'Reminders'").at(0);
}

// Every file below `root` but those below `skip`, with its size.
std::set<std::string> FilesOutside(const std::string& root, const std::string& skip) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().string();
    if (name.rfind(skip, 0) == 0 || !entry.is_regular_file()) continue;
    files.insert(name + " " + std::to_string(entry.file_size()));
  }
  return files;
}

std::vector<std::string> Copies(const std::string& folder) {
  std::vector<std::string> copies;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kCopyPrefix, 0) == 0) copies.push_back(name);
  }
  std::sort(copies.begin(), copies.end());
  return copies;
}

// Bytes the folder's files take on the disk (a sparse file counts what it holds).
std::uint64_t DiskUse(const std::string& folder) {
  std::uint64_t bytes = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    struct stat info {};
    if (::stat(entry.path().c_str(), &info) == 0) bytes += static_cast<std::uint64_t>(info.st_blocks) * 512;
  }
  return bytes;
}

class HostileStoreTest : public ::testing::Test {
 protected:
  PrepareDBContext Context(const std::string& template_path = CHIMEWELL_TEMPLATE_DB) {
    return {files_, store_, template_path, data_dir_, [this] { ++quits_; }, clock_};
  }
  TempFolder folder_;
  std::string data_dir_ = folder_ / "Documents/Data/users/u1/";
  std::string store_ = data_dir_ + "reminder.db";
  std::string outside_ = folder_ / "outside/";
  int quits_ = 0;
  testing_support::FaultInjectingFileSystem files_;
  testing_support::FixedClock clock_;
};

// Whatever the store holds, a start repairs it to the template's schema,
// serves, writes nothing outside the user's folder, keeps every reminder that
// sat on an intact table page and keeps at most a few copies aside.
TEST_F(HostileStoreTest, EveryHostileStoreIsRepairedAndServes) {
  // A random damage that leaves every table page intact, and after which a
  // salvage by SQLite's recovery stopped with "too many columns on
  // lost_and_found", keeping none of the 3,000 rows.
  constexpr unsigned kSeed = 62;
  struct Case {
    const char* name;
    int rows;                                          // seeded before `make`
    std::function<void(const std::string& store, const std::string& outside)> make;
    bool rows_fit;                                     // the seeded rows have a reminder's shape
    bool copy_kept;
  };
  const std::string table = TemplateTableText();
  const Case cases[] = {
      {"schema text with a tokenizer call and a full-text table", 300,
       [&](const std::string& s, const std::string&) {
         SetSchemaText(s, table + "; SELECT fts3_tokenizer('simple', x'4141414141414141'); "
                                  "CREATE VIRTUAL TABLE Planted USING fts3(a)");
         TearAnIndexPage(s);
       },
       true, true},
      {"schema text attaching a file elsewhere", 300,
       [&](const std::string& s, const std::string& outside) {
         SetSchemaText(s, table + "; ATTACH '" + outside + "planted.db' AS x; CREATE TABLE x.t(a)");
         TearAnIndexPage(s);
       },
       true, true},
      {"a view named Reminders", 300,
       [](const std::string& s, const std::string&) {
         const testing_support::Db db = Plain(s);
         Exec(db.get(), "alter table Reminders rename to Kept; create view Reminders as select * from Kept");
       },
       true, true},
      {"a trigger that deletes new rows", 300,
       [](const std::string& s, const std::string&) {
         const testing_support::Db db = Plain(s);
         Exec(db.get(), "create trigger Undo after insert on Reminders begin "
                        "delete from Reminders where rowid = new.rowid; end");
       },
       true, true},
      {"too few columns", 300,
       [](const std::string& s, const std::string&) {
         const testing_support::Db db = Plain(s);
         Exec(db.get(), "create table Few (CalendarID TEXT NOT NULL, ItemID TEXT NOT NULL, "
                        "PRIMARY KEY (CalendarID, ItemID)); insert into Few select CalendarID, ItemID from "
                        "Reminders; drop table Reminders; alter table Few rename to Reminders");
       },
       false, true},
      {"no Reminders table, its rows under another name", 300,
       [](const std::string& s, const std::string&) {
         const testing_support::Db db = Plain(s);
         Exec(db.get(), "alter table Reminders rename to Other");
       },
       true, true},
      {"zero length", 300, [](const std::string& s, const std::string&) { fs::resize_file(s, 0); }, false,
       false},
      {"random damage around intact table pages", 3000,
       [&](const std::string& s, const std::string&) { DamageAroundTheTable(s, kSeed); }, true, true},
      {"a damaged sparse file of 1 GiB", 300,
       [](const std::string& s, const std::string&) {
         TearAnIndexPage(s);
         fs::resize_file(s, std::uintmax_t{1} << 30);
       },
       true, true},
  };
  const std::vector<std::string> template_schema = Schema(CHIMEWELL_TEMPLATE_DB);
  // Copies of earlier repairs, older than any made now.
  const std::vector<std::string> earlier = {"20230101-000000", "20230102-000000", "20230103-000000"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder_.Path() + "/Documents");
    fs::remove_all(outside_);
    fs::create_directories(data_dir_);
    fs::create_directories(outside_);
    for (const std::string& stamp : earlier) std::ofstream(data_dir_ + kCopyPrefix + stamp) << "old";
    fs::copy_file(CHIMEWELL_TEMPLATE_DB, store_);
    Seed(store_, c.rows);
    const RowSet seeded = Rows(store_);
    c.make(store_, outside_);
    const std::set<std::string> outside_before = FilesOutside(folder_.Path(), data_dir_);

    std::unique_ptr<DBConnection> connection;
    {
      TraceCapture trace;
      ASSERT_TRUE(PrepareDB(connection, Context()));
    }
    EXPECT_EQ(Schema(store_), template_schema);
    RowSet expected = c.rows_fit ? seeded : RowSet{};
    ReminderCommand append;
    append.LMethod = "Reminder.Append";
    append.LCalendarID = "New";
    append.LItemID = "n1";
    append.LEnabled = 1;
    append.LStartTime = 1800000000;
    AccessDB(*connection, [&] { InsertReminderProc(*connection, append); });
    expected.insert("New|n1|0|1|1800000000|0|0|-");
    EXPECT_EQ(Rows(store_), expected);

    EXPECT_EQ(FilesOutside(folder_.Path(), data_dir_), outside_before);
    const std::vector<std::string> copies = Copies(data_dir_);
    EXPECT_LE(copies.size(), kMostCopies);
    if (c.copy_kept) {
      // The oldest went first; the new copy is there.
      EXPECT_EQ(std::count(copies.begin(), copies.end(), kCopyPrefix + earlier[0]), 0);
      EXPECT_EQ(std::count_if(copies.begin(), copies.end(),
                              [&](const std::string& name) {
                                return std::find_if(earlier.begin(), earlier.end(), [&](const std::string& s) {
                                         return name == kCopyPrefix + s;
                                       }) == earlier.end();
                              }),
                1);
    } else {
      EXPECT_EQ(copies.size(), earlier.size());
    }
    EXPECT_LT(DiskUse(data_dir_), std::uint64_t{64} << 20);
    EXPECT_FALSE(fs::exists(store_ + "~"));
    EXPECT_FALSE(fs::exists(store_ + "~-journal"));
  }
}

// A repair that cannot finish (no template, a folder where the fresh store is
// made, a full disk) leaves the store as it was and no copy behind, however
// often the service starts, and the trace says why.
TEST_F(HostileStoreTest, ARepairThatCannotFinishLeavesNoPileOfCopies) {
  struct Case {
    const char* name;
    std::string template_path;
    bool folder_in_the_way;
    bool disk_full;
    std::string traced;  // the line that says why
  };
  const Case cases[] = {
      {"no template", folder_ / "templates/base.db", false, false,
       "Error!Not found " + (folder_ / "templates/base.db")},
      {"a folder at reminder.db~", CHIMEWELL_TEMPLATE_DB, true, false, "Error!RepairStore#Template,Exception:"},
      {"a full disk", CHIMEWELL_TEMPLATE_DB, false, true,
       "Error!RepairStore#Template,Exception:Injected failure on " + std::string(CHIMEWELL_TEMPLATE_DB) +
           " to " + store_ + "~"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder_.Path() + "/Documents");
    fs::create_directories(data_dir_);
    fs::copy_file(CHIMEWELL_TEMPLATE_DB, store_);
    Seed(store_, 50);
    TearAnIndexPage(store_);
    if (c.folder_in_the_way) fs::create_directories(store_ + "~/x");
    const std::string damaged = ReadFile(store_);
    for (int start = 0; start < 3; ++start) {
      if (c.disk_full) files_.FailNth(platform::FileStep::kCopy, 1, 28);
      std::unique_ptr<DBConnection> connection;
      TraceCapture trace;
      EXPECT_FALSE(PrepareDB(connection, Context(c.template_path)));
      // A long line goes to the trace in pieces.
      std::string traced;
      for (const std::string& piece : trace.Texts()) traced += piece;
      EXPECT_NE(traced.find(c.traced), std::string::npos) << traced;
    }
    EXPECT_EQ(Copies(data_dir_), std::vector<std::string>{});
    EXPECT_EQ(ReadFile(store_), damaged);
    EXPECT_EQ(fs::exists(store_ + "~"), c.folder_in_the_way);
  }
}


// A record's lengths are the file's choice: two text lengths near 2^63 and
// six 8-byte integers add up, wrapped around, to 34 bytes. Read as a
// reminder, the first text would run far past the record (or the bind would
// fail and with it the whole salvage); it is a damaged cell, and the sound
// reminder beside it on the page is kept.
TEST_F(HostileStoreTest, RecordLengthsThatWrapAroundAreADamagedCell) {
  constexpr std::size_t kSmallPage = 512;
  std::string file(2 * kSmallPage, '\0');
  file.replace(0, 16, std::string("SQLite format 3\0", 16));
  file[16] = 0x02;  // page size 512
  file[56 + 3] = 1;  // UTF-8
  file[100] = 13;    // page 1: an empty table leaf
  // Page 2: a table leaf of two cells.
  const auto put_cell = [&file](std::size_t pointer_at, std::size_t cell_at, const std::string& record) {
    std::string cell;
    cell += static_cast<char>(record.size());  // payload size (< 128)
    cell += '\x01';                             // rowid
    cell += record;
    file.replace(kSmallPage + cell_at, cell.size(), cell);
    file[kSmallPage + pointer_at] = static_cast<char>(cell_at >> 8);
    file[kSmallPage + pointer_at + 1] = static_cast<char>(cell_at & 0xff);
  };
  file[kSmallPage] = 13;
  file[kSmallPage + 4] = 2;  // two cells
  const std::string huge_text(9, '\xff');  // serial type 2^64 - 1: text of 2^63 - 7 bytes
  std::string wrapping;
  wrapping += static_cast<char>(1 + 9 + 9 + 6);  // header size
  wrapping += huge_text + huge_text + std::string(6, '\x06');
  wrapping += std::string(34, 'x');
  put_cell(8, 200, wrapping);
  std::string sound;
  sound += '\x09';                              // header size
  sound += std::string("\x15\x13\x01\x01\x01\x01\x01\x00", 8);  // texts of 4 and 3 bytes, five 1-byte integers, NULL
  sound += std::string("Cal1It1\x01\x01\x05\x00\x00", 12);
  put_cell(10, 300, sound);
  fs::create_directories(data_dir_);
  std::ofstream(store_, std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));
  const std::string fresh = data_dir_ + "fresh.db";
  fs::copy_file(CHIMEWELL_TEMPLATE_DB, fresh);

  SalvageCount count;
  ASSERT_NO_THROW(count = SalvageRows(store_, fresh));
  EXPECT_EQ(count.kept, 1);
  EXPECT_EQ(Rows(fresh), RowSet{"Cal1|It1|1|1|5|0|0|-"});
}

}  // namespace
}  // namespace chimewell::store
