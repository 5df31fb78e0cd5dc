// The reminder store: preparing the per-user database from the template, and
// the units of work that change the Reminders table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"
#include "store/connection.h"
#include "store/repair.h"

namespace chimewell::store {

// The values of one reminder command, filled from its JSON data; the
// procedures only read them.
struct ReminderCommand {
  std::string LMethod;      // as received, for error tags
  std::string LCalendarID;
  std::string LItemID;
  std::int32_t LReminderType = 0;
  std::int32_t LEnabled = 0;
  std::int64_t LStartTime = 0;
  std::int32_t LRepeat = 0;
  std::int64_t LRepeatEnd = 0;
  std::string LInItemSql;   // the alert's ItemIDs as quoted SQL literals, comma-separated
};

// Where PrepareDB finds and puts things, and how it ends the service.
struct PrepareDBContext {
  platform::FileSystem& files;
  std::string reminder_db_path;
  std::string template_path;
  std::string user_data_dir;       // the folder of reminder_db_path, ending with a separator
  std::function<void()> quit;      // asks the message loop to quit
  const platform::Clock& clock;    // names the kept copy of a damaged store
};

// Makes sure the user's store exists (the first time a copy of the template,
// put in place by ReplaceFileAtomically, so that a crash mid-copy never leaves
// a partial store that later starts would take as it is),
// refuses (POSIX) a data folder or store of another user or writable by
// others (traced; the loop is asked to quit),
// creates `connection` and proves once that it opens and passes the store's
// own check and has the template's schema. A store that is damaged, no
// database at all, of another schema or of zero length is repaired
// (RepairStore). True when the store is ready. Once the connection exists it
// returns true at once.
bool PrepareDB(std::unique_ptr<DBConnection>& connection, const PrepareDBContext& context);

// What RepairStore needs, taken from PrepareDB's context at this moment.
StoreRepairContext RepairContext(const PrepareDBContext& context);

// Runs `AProc` as one unit of work inside one transaction: open, begin, run,
// commit, close. Failures are traced ("AccessDB", "AccessDB#AProc"); only an
// error of the final close reaches the caller.
void AccessDB(DBConnection& connection, const std::function<void()>& AProc);

// The procedures. Each traces its own failure under "Method[<LMethod>]".
void InsertReminderProc(DBConnection& connection, const ReminderCommand& command);
void UpdateReminderProc(DBConnection& connection, const ReminderCommand& command);
void DeleteReminderProc(DBConnection& connection, const ReminderCommand& command);
void ClearCalendarProc(DBConnection& connection, const ReminderCommand& command);
// Sets LastNotified to `unix_seconds` on every row whose ItemID is listed, in
// every calendar, after writing the statement to `dump_path`. A dump that
// cannot be written is traced and the update still runs: the dump is only a
// diagnostic, and skipping the update would list the reminder again.
void MarkAlertedProc(DBConnection& connection, const ReminderCommand& command,
                     std::int64_t unix_seconds, platform::FileSystem& files,
                     const std::string& dump_path);

// Writes a diagnostic dump file; a failure is traced with `tag` and swallowed.
void WriteDumpFile(platform::FileSystem& files, const std::string& path, std::string_view text,
                   const std::string& tag);

}  // namespace chimewell::store
