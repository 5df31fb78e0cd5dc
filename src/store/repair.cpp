#include "store/repair.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <utility>

#include "trace/trace.h"

namespace chimewell::store {
namespace {

namespace fs = std::filesystem;

// How many lines of the check's findings the trace shows.
constexpr int kFindingsShown = 2;
// A kept copy's name: the store's, this, and a time stamp of this length.
constexpr char kDamagedInfix[] = ".damaged-";
constexpr std::size_t kStampLength = 15;  // YYYYMMDD-HHMMSS

// UTF-8 paths, as the service keeps them, and the library's paths.
fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }
std::string Utf8Of(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// False when the query failed; the handle then holds the error.
bool ReadSchema(sqlite3* db, std::vector<std::string>& entries) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "select type, name, tbl_name, sql from sqlite_schema order by type, name, tbl_name",
                         -1, &raw, nullptr) != SQLITE_OK) {
    return false;
  }
  const Statement statement(raw);
  int result;
  while ((result = sqlite3_step(raw)) == SQLITE_ROW) {
    std::string entry;
    for (int column = 0; column < 4; ++column) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, column));
      if (column > 0) entry += column == 3 ? ": " : " ";
      entry += text != nullptr ? text : "";
    }
    entries.push_back(std::move(entry));
  }
  return result == SQLITE_DONE;
}

// The first entry that is in one schema and not in the other, said briefly.
std::string SchemaDifference(const std::vector<std::string>& found, const std::vector<std::string>& wanted) {
  const auto name = [](const std::string& entry) { return entry.substr(0, entry.find(':')); };
  for (const std::string& entry : wanted) {
    if (std::find(found.begin(), found.end(), entry) == found.end()) return "no " + name(entry) + " as in the template";
  }
  for (const std::string& entry : found) {
    if (std::find(wanted.begin(), wanted.end(), entry) == wanted.end()) return name(entry) + " is not the template's";
  }
  return "entries in another order";
}

}  // namespace

std::vector<std::string> TemplateSchema(const std::string& path) {
  const Database db = OpenDatabase(path, SQLITE_OPEN_READONLY);
  std::vector<std::string> entries;
  if (!ReadSchema(db.get(), entries)) throw DBError(sqlite3_errmsg(db.get()), sqlite3_extended_errcode(db.get()));
  return entries;
}

std::optional<std::string> FindStoreDamage(DBConnection& connection,
                                           const std::vector<std::string>& template_schema) {
  if (!template_schema.empty()) {
    std::vector<std::string> schema;
    if (!ReadSchema(connection.Handle(), schema)) connection.Fail();
    if (schema != template_schema) {
      return "the schema is not the template's: " + SchemaDifference(schema, template_schema);
    }
  }
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
  const std::string base = store_path + kDamagedInfix + stamp;
  std::string name = base;
  for (int n = 2; files.FileExists(name); ++n) name = base + "-" + std::to_string(n);
  return name;
}

std::string KeepDamagedStore(platform::FileSystem& files, const std::string& store_path,
                             const platform::LocalDateTime& now) {
  const std::string kept = DamagedCopyName(files, store_path, now);
  std::error_code linked;
  fs::create_hard_link(PathOf(store_path), PathOf(kept), linked);
  if (!linked) return kept;
  try {
    files.CopyFileReplacing(store_path, kept);
  } catch (const platform::FileError&) {
    try {
      if (files.FileExists(kept)) files.DeleteFile(kept);
    } catch (const platform::FileError& error) {
      trace::WriteException("RepairStore#Keep", error);
    }
    throw;
  }
  return kept;
}

void RemoveOldDamagedCopies(platform::FileSystem& files, const std::string& store_path) {
  const fs::path store = PathOf(store_path);
  const std::string prefix = Utf8Of(store.filename()) + kDamagedInfix;
  // By the time in the name, then by the number after it.
  std::vector<std::pair<std::pair<std::string, long>, fs::path>> copies;
  std::error_code listed;
  for (fs::directory_iterator entry(store.parent_path(), listed), end; !listed && entry != end;
       entry.increment(listed)) {
    const std::string name = Utf8Of(entry->path().filename());
    if (name.rfind(prefix, 0) != 0) continue;
    const std::string stamp = name.substr(prefix.size(), kStampLength);
    const std::string rest = name.substr(prefix.size() + stamp.size());
    const long number = rest.size() > 1 && rest[0] == '-' ? std::strtol(rest.c_str() + 1, nullptr, 10) : 1;
    copies.push_back({{stamp, number}, entry->path()});
  }
  if (listed) {
    trace::WriteErrorFmt("Can not list %s : %s", Utf8Of(store.parent_path()), listed.message());
    return;
  }
  std::sort(copies.begin(), copies.end());
  for (std::size_t i = 0; i + kMostDamagedCopies < copies.size(); ++i) {
    try {
      files.DeleteFile(Utf8Of(copies[i].second));
    } catch (const platform::FileError& error) {
      trace::WriteException("RepairStore#Remove", error);
    }
  }
}

void MakeStoreFromTemplate(platform::FileSystem& files, const std::string& template_path,
                           const std::string& store_path,
                           const std::function<void(const std::string& copy)>& fill) {
  try {
    platform::ReplaceFileAtomically(files, store_path, [&](const std::string& replacement) {
      files.CopyFileReplacing(template_path, replacement);
      if (fill) fill(replacement);
    });
  } catch (const std::exception&) {
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
  SalvageCount count;
  try {
    MakeStoreFromTemplate(context.files, context.template_path, store, [&](const std::string& fresh) {
      // An empty file holds nothing to salvage or keep.
      if (StoreFileSize(store) == 0) return;
      count = SalvageRows(store, fresh);
      // Kept only once the fresh store is whole: a repair that cannot finish
      // leaves no copy behind, however often it is tried.
      kept = KeepDamagedStore(context.files, store, context.now);
    });
  } catch (const std::exception& error) {
    trace::WriteException("RepairStore#Template", error);
    if (!kept.empty()) {
      try {
        context.files.DeleteFile(kept);
      } catch (const platform::FileError& removal) {
        trace::WriteException("RepairStore#Keep", removal);
      }
    }
    return false;
  }
  if (!kept.empty()) {
    trace::WriteErrorFmt("Damaged store kept as %s", kept);
    RemoveOldDamagedCopies(context.files, store);
  }
  trace::WriteErrorFmt(
      "Store made again from the template : %d reminders salvaged; refused: %d of another shape, %d "
      "twice; %d pages unreadable",
      count.kept, count.other_shape, count.twice, count.unreadable_pages);
  return true;
}

}  // namespace chimewell::store
