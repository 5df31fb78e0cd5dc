#include "store/reminder_store.h"

#include "platform/files.h"
#include "store/ownership.h"
#include "store/repair.h"
#include "store/salvage.h"
#include "trace/trace.h"

namespace chimewell::store {
namespace {

std::string MethodTag(const ReminderCommand& command) { return "Method[" + command.LMethod + "]"; }

// Runs one procedure's statement work, tracing its failure under the
// command's tag so that AccessDB still commits.
template <typename Work>
void RunProc(const ReminderCommand& command, Work work) {
  try {
    work();
  } catch (const std::exception& error) {
    trace::WriteException(MethodTag(command), error);
  }
}

// The fields that the insert and the update both bind; the update leaves the
// reminder's type as it was inserted.
void BindReminder(DBQuery& query, const ReminderCommand& command) {
  query.BindText("CalendarID", command.LCalendarID);
  query.BindText("ItemID", command.LItemID);
  query.BindInteger("Enabled", command.LEnabled);
  query.BindInteger("StartTime", command.LStartTime);
  query.BindInteger("Repeat", command.LRepeat);
  query.BindInteger("RepeatEnd", command.LRepeatEnd);
}

// The template's schema, which the store must have; empty, after a trace,
// when the template cannot be read (the store is then only checked).
std::vector<std::string> ExpectedSchema(platform::FileSystem& files, const std::string& template_path) {
  try {
    return TemplateSchema(template_path);
  } catch (const DBError& error) {
    if (!files.FileExists(template_path)) {
      trace::WriteError("Not found " + template_path);
    } else {
      trace::WriteException("PrepareDB", error);
    }
    return {};
  }
}

// Opens the store once and looks for damage; nullopt when it is sound. A
// zero-length store is damaged: it serves nothing and fails every command. A
// failure that is not damage is traced and thrown.
std::optional<std::string> ProbeStore(DBConnection& connection, const std::vector<std::string>& schema) {
  try {
    if (StoreFileSize(connection.Path()) == 0) return "an empty file";
    connection.Open();
    std::optional<std::string> damage = FindStoreDamage(connection, schema);
    connection.Close();
    return damage;
  } catch (const DBError& error) {
    connection.Close();  // no transaction is open: this cannot fail
    if (!IsDamageCode(error.Code())) {
      trace::WriteException("DBConnection.Open", error);
      throw;
    }
    return error.what();
  }
}

}  // namespace

bool PrepareDB(std::unique_ptr<DBConnection>& connection, const PrepareDBContext& context) {
  if (connection) return true;
  platform::FileSystem& files = context.files;
  if (!files.FileExists(context.reminder_db_path)) {
    if (!files.FileExists(context.template_path)) {
      trace::WriteError("Not found " + context.template_path);
      context.quit();
      return false;
    }
    try {
      if (!files.DirectoryExists(context.user_data_dir)) files.CreateDirectories(context.user_data_dir);
    } catch (const platform::FileError&) {
      trace::WriteError("Can not create dir : " + context.user_data_dir);
      context.quit();
      return false;
    }
    try {
      MakeStoreFromTemplate(files, context.template_path, context.reminder_db_path);
    } catch (const platform::FileError& error) {
      trace::WriteErrorFmt("copy %s to %s failed : %d", context.template_path,
                           context.reminder_db_path, error.Code());
      context.quit();
      return false;
    }
  }
  if (const std::optional<std::string> unsafe =
          UnsafeStoreOwnership(context.user_data_dir, context.reminder_db_path)) {
    trace::WriteError(*unsafe);
    context.quit();
    return false;
  }
  connection = std::make_unique<DBConnection>(context.reminder_db_path);
  std::optional<std::string> damage;
  try {
    damage = ProbeStore(*connection, ExpectedSchema(files, context.template_path));
  } catch (const DBError&) {
    return false;
  }
  if (damage && !RepairStore(*connection, RepairContext(context), *damage)) return false;
  trace::WriteLogFmt("PrpareDB [%s] : %s", context.reminder_db_path, "True");
  return true;
}

StoreRepairContext RepairContext(const PrepareDBContext& context) {
  return {context.files, context.reminder_db_path, context.template_path, context.clock.LocalNow()};
}

void AccessDB(DBConnection& connection, const std::function<void()>& AProc) {
  bool started = false;
  try {
    connection.Open();
    connection.StartTransaction();
    started = true;
  } catch (const std::exception& error) {
    trace::WriteException("AccessDB", error);
  }
  if (started) {
    try {
      AProc();
      connection.Commit();
    } catch (const std::exception& error) {
      trace::WriteException("AccessDB#AProc", error);
    }
  }
  // Commits what is still open; its own failure goes to the caller.
  connection.Close();
}

void InsertReminderProc(DBConnection& connection, const ReminderCommand& command) {
  RunProc(command, [&] {
    DBQuery query(connection,
                   "Insert into Reminders (CalendarID,ItemID,ReminderType,Enabled,StartTime,Repeat,"
                   "RepeatEnd) Values(:CalendarID,:ItemID,:ReminderType,:Enabled,:StartTime,:Repeat,"
                   ":RepeatEnd)");
    BindReminder(query, command);
    query.BindInteger("ReminderType", command.LReminderType);
    query.Execute();
  });
}

void UpdateReminderProc(DBConnection& connection, const ReminderCommand& command) {
  RunProc(command, [&] {
    DBQuery query(connection,
                   "Update Reminders Set Enabled=:Enabled,StartTime=:StartTime,Repeat=:Repeat,"
                   "RepeatEnd=:RepeatEnd ,LastNotified=null  where CalendarID=:CalendarID and "
                   "ItemID=:ItemID");
    BindReminder(query, command);
    query.Execute();
  });
}

void DeleteReminderProc(DBConnection& connection, const ReminderCommand& command) {
  RunProc(command, [&] {
    DBQuery query(connection, "delete FROM Reminders  where CalendarID=:CalendarID and ItemID=:ItemID");
    query.BindText("CalendarID", command.LCalendarID);
    query.BindText("ItemID", command.LItemID);
    query.Execute();
    trace::WriteLogFmt("Delete CalendarID:%s,ItemID:%s over.", command.LCalendarID, command.LItemID);
  });
}

void ClearCalendarProc(DBConnection& connection, const ReminderCommand& command) {
  RunProc(command, [&] {
    DBQuery query(connection, "delete FROM Reminders  where CalendarID=:CalendarID");
    query.BindText("CalendarID", command.LCalendarID);
    query.Execute();
  });
}

void MarkAlertedProc(DBConnection& connection, const ReminderCommand& command,
                     std::int64_t unix_seconds, platform::FileSystem& files,
                     const std::string& dump_path) {
  RunProc(command, [&] {
    const std::string sql = "update reminders set lastnotified= " + std::to_string(unix_seconds) +
                            " where ItemID in (" + command.LInItemSql + ")";
    // The dump comes first, so that it shows the last statement even when that
    // statement then fails.
    WriteDumpFile(files, dump_path, sql, MethodTag(command));
    DBQuery query(connection, sql);
    query.Execute();
  });
}

void WriteDumpFile(platform::FileSystem& files, const std::string& path, std::string_view text,
                   const std::string& tag) {
  try {
    files.WriteWholeFile(path, text);
  } catch (const std::exception& error) {
    trace::WriteException(tag, error);
  }
}

}  // namespace chimewell::store
