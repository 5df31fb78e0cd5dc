#include "store/repair.h"

#include <cstdio>
#include <sstream>

#include "trace/trace.h"

namespace chimewell::store {
namespace {

// How many lines of the check's findings the trace shows.
constexpr int kFindingsShown = 2;

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
      "Store made again from the template : %d reminders salvaged; refused: %d of another shape, %d "
      "twice; %d pages unreadable",
      count.kept, count.other_shape, count.twice, count.unreadable_pages);
  return true;
}

}  // namespace chimewell::store
