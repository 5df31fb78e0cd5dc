#include "store/repair.h"

#include <sqlite3.h>
#include <sqlite3recover.h>

#include <cstdio>
#include <memory>
#include <sstream>

#include "trace/trace.h"

namespace chimewell::store {
namespace {

// The template's columns, in their order: the salvage copies these.
constexpr char kColumns[] =
    "CalendarID,ItemID,ReminderType,Enabled,StartTime,Repeat,RepeatEnd,LastNotified";
constexpr int kColumnCount = 8;
// Where the recovery puts rows whose table it cannot tell.
constexpr char kLostAndFound[] = "lost_and_found";
// How many lines of the check's findings the trace shows.
constexpr int kFindingsShown = 2;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

struct RecoveryFinisher {
  void operator()(sqlite3_recover* recovery) const { sqlite3_recover_finish(recovery); }
};
using Recovery = std::unique_ptr<sqlite3_recover, RecoveryFinisher>;

[[noreturn]] void Fail(sqlite3* db) { throw DBError(sqlite3_errmsg(db), sqlite3_extended_errcode(db)); }

Database OpenForRecovery(const std::string& path, int flags) {
  sqlite3* raw = nullptr;
  const int result = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Database db(raw);
  if (result != SQLITE_OK) {
    if (!db) throw DBError(sqlite3_errstr(result), result);
    Fail(db.get());
  }
  return db;
}

Statement Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK) {
    Fail(db);
  }
  return Statement(raw);
}

void Exec(sqlite3* db, const std::string& sql) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db);
}

// The single integer a query gives; 0 when it gives no row.
std::int64_t QueryInteger(sqlite3* db, const std::string& sql) {
  const Statement statement = Prepare(db, sql);
  const int result = sqlite3_step(statement.get());
  if (result == SQLITE_ROW) return sqlite3_column_int64(statement.get(), 0);
  if (result != SQLITE_DONE) Fail(db);
  return 0;
}

// Runs one statement of the recovery's output on the scratch database. A
// statement that fails (a damaged schema entry, a second copy of a row under
// a unique index) is skipped: the rows of every other statement still count.
int RunRecoveredSql(void* scratch, const char* sql) {
  sqlite3_exec(static_cast<sqlite3*>(scratch), sql, nullptr, nullptr, nullptr);
  return SQLITE_OK;
}

// Reads what the damaged store gives up into `scratch`. A recovery that
// stops early keeps what it wrote so far; its reason is traced.
void RecoverInto(sqlite3* scratch, const std::string& damaged_path) {
  const Database damaged = OpenForRecovery(damaged_path, SQLITE_OPEN_READONLY);
  const Recovery recovery(sqlite3_recover_init_sql(damaged.get(), "main", RunRecoveredSql, scratch));
  if (!recovery) throw DBError("out of memory", SQLITE_NOMEM);
  sqlite3_recover_config(recovery.get(), SQLITE_RECOVER_LOST_AND_FOUND,
                         const_cast<char*>(kLostAndFound));
  if (sqlite3_recover_run(recovery.get()) != SQLITE_OK) {
    trace::WriteErrorFmt("Salvage from %s stopped early : %s", damaged_path,
                         sqlite3_recover_errmsg(recovery.get()));
  }
}

bool TableExists(sqlite3* db, const std::string& name) {
  const Statement statement =
      Prepare(db, "select 1 from main.sqlite_schema where type = 'table' and name = ?1 collate nocase");
  sqlite3_bind_text(statement.get(), 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  const int result = sqlite3_step(statement.get());
  if (result != SQLITE_ROW && result != SQLITE_DONE) Fail(db);
  return result == SQLITE_ROW;
}

// The recovery lists a stray row's values as c0, c1, ...; it only has a c7
// when some stray row had that many.
bool HasColumn(sqlite3* db, const std::string& table, const std::string& column) {
  return QueryInteger(db, "select count(*) from pragma_table_info('" + table + "') where name = '" +
                              column + "'") > 0;
}

// Copies the recovered rows from `scratch` into the attached fresh store.
SalvageCount CopyRecoveredRows(sqlite3* scratch) {
  SalvageCount count;
  std::int64_t read = 0;
  if (TableExists(scratch, "Reminders")) {
    read += QueryInteger(scratch, "select count(*) from main.Reminders");
    Exec(scratch, std::string("insert or ignore into fresh.Reminders (") + kColumns + ") select " +
                      kColumns + " from main.Reminders");
    count.kept += sqlite3_changes64(scratch);
  }
  if (TableExists(scratch, kLostAndFound)) {
    // A stray row with the table's number of values is taken for a reminder:
    // the store has no other table.
    const std::string whole = std::string(" from ") + kLostAndFound + " where nfield = " +
                              std::to_string(kColumnCount);
    const std::int64_t stray = QueryInteger(scratch, std::string("select count(*) from ") + kLostAndFound);
    std::int64_t whole_rows = 0;
    if (HasColumn(scratch, kLostAndFound, "c" + std::to_string(kColumnCount - 1))) {
      whole_rows = QueryInteger(scratch, "select count(*)" + whole);
      Exec(scratch, std::string("insert or ignore into fresh.Reminders (") + kColumns +
                        ") select c0,c1,c2,c3,c4,c5,c6,c7" + whole);
      count.kept += sqlite3_changes64(scratch);
    }
    read += whole_rows;
    count.fragments = stray - whole_rows;
  }
  count.refused = read - count.kept;
  return count;
}

}  // namespace

std::optional<std::string> FindStoreDamage(DBConnection& connection) {
  // The whole check, not quick_check: a power cut can keep a table page and
  // lose the matching index page, which only the whole check compares.
  DBQuery check(connection, "PRAGMA integrity_check");
  check.Open();
  if (check.RecordCount() == 1 && check.AsString(0, 0) == "ok") return std::nullopt;
  // The findings come one a row, or several in one row split by line breaks.
  std::string findings;
  int shown = 0;
  for (std::size_t row = 0; row < check.RecordCount() && shown < kFindingsShown; ++row) {
    std::istringstream lines(check.AsString(row, 0));
    for (std::string line; shown < kFindingsShown && std::getline(lines, line); ++shown) {
      if (!findings.empty()) findings += "; ";
      findings += line;
    }
  }
  return findings;
}

std::string DamagedCopyName(platform::FileSystem& files, const std::string& store_path,
                            const platform::LocalDateTime& now) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", now.year, now.month, now.day, now.hour,
                now.minute, now.second);
  const std::string base = store_path + ".damaged-" + stamp;
  std::string name = base;
  for (int n = 2; files.FileExists(name); ++n) name = base + "-" + std::to_string(n);
  return name;
}

SalvageCount SalvageRows(const std::string& damaged_path, const std::string& fresh_path) {
  const Database scratch = OpenForRecovery(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  RecoverInto(scratch.get(), damaged_path);
  {
    const Statement attach = Prepare(scratch.get(), "attach database ?1 as fresh");
    sqlite3_bind_text(attach.get(), 1, fresh_path.c_str(), static_cast<int>(fresh_path.size()),
                      SQLITE_TRANSIENT);
    if (sqlite3_step(attach.get()) != SQLITE_DONE) Fail(scratch.get());
  }
  const SalvageCount count = CopyRecoveredRows(scratch.get());
  Exec(scratch.get(), "detach database fresh");
  return count;
}

void MakeStoreFromTemplate(platform::FileSystem& files, const std::string& template_path,
                           const std::string& store_path,
                           const std::function<void(const std::string& copy)>& fill) {
  try {
    platform::ReplaceFileAtomically(files, store_path, [&](const std::string& replacement) {
      files.CopyFileReplacing(template_path, replacement);
      if (fill) fill(replacement);
    });
  } catch (const platform::FileError&) {
    const std::string replacement = platform::ReplacementName(store_path);
    try {
      if (files.FileExists(replacement)) files.DeleteFile(replacement);
    } catch (const platform::FileError& error) {
      trace::WriteException("PrepareDB", error);
    }
    throw;
  }
}

bool RepairStore(DBConnection& connection, const StoreRepairContext& context, const std::string& reason) {
  connection.ForgetDamage();
  try {
    connection.Close();
  } catch (const std::exception& error) {
    trace::WriteException("RepairStore#Close", error);
  }
  const std::string& store = context.reminder_db_path;
  trace::WriteErrorFmt("Store damaged [%s] : %s", store, reason);
  std::string kept;
  try {
    // A copy, not a move: until the repaired store is in place, the store's
    // name keeps the damaged file, so a crash here never leaves it empty.
    kept = DamagedCopyName(context.files, store, context.now);
    context.files.CopyFileReplacing(store, kept);
  } catch (const std::exception& error) {
    trace::WriteException("RepairStore#Keep", error);
    return false;
  }
  trace::WriteErrorFmt("Damaged store kept as %s", kept);
  SalvageCount count;
  try {
    MakeStoreFromTemplate(context.files, context.template_path, store, [&](const std::string& fresh) {
      try {
        count = SalvageRows(kept, fresh);
      } catch (const DBError& error) {
        // The template alone is still a sound store.
        trace::WriteException("RepairStore#Salvage", error);
      }
    });
  } catch (const std::exception& error) {
    trace::WriteException("RepairStore#Template", error);
    return false;
  }
  trace::WriteErrorFmt(
      "Store made again from the template : %d reminders salvaged; lost: %d refused, %d fragments, "
      "all on unreadable pages",
      count.kept, count.refused, count.fragments);
  return true;
}

}  // namespace chimewell::store
