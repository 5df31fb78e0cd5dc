#include "store/ReminderStore.h"

#include "platform/files.h"
#include "trace/uLog.h"

namespace chimewell::store {
namespace {

std::string MethodTag(const TReminderCommand& command) { return "Method[" + command.LMethod + "]"; }

// Runs one procedure's statement work, tracing its failure under the
// command's tag so that AccessDB still commits.
template <typename Work>
void RunProc(const TReminderCommand& command, Work work) {
  try {
    work();
  } catch (const std::exception& error) {
    trace::WriteException(MethodTag(command), error);
  }
}

// The fields that the insert and the update both bind; the update leaves the
// reminder's type as it was inserted.
void BindReminder(TDBQuery& query, const TReminderCommand& command) {
  query.BindText("CalendarID", command.LCalendarID);
  query.BindText("ItemID", command.LItemID);
  query.BindInteger("Enabled", command.LEnabled);
  query.BindInteger("StartTime", command.LStartTime);
  query.BindInteger("Repeat", command.LRepeat);
  query.BindInteger("RepeatEnd", command.LRepeatEnd);
}

// Copies the template into place through a temporary name, so that a crash
// mid-copy never leaves a partial store that later starts would take as it is.
int CopyTemplateAtomically(const std::string& from, const std::string& to) {
  const std::string temporary = to + "~";
  int error = platform::CopyFileReplacing(from, temporary);
  if (error == 0) error = platform::MoveFileReplacing(temporary, to);
  if (error != 0) platform::DeleteFile(temporary);
  return error;
}

}  // namespace

bool PrepareDB(std::unique_ptr<TDBConnection>& connection, const PrepareDBContext& context) {
  if (connection) return true;
  if (!platform::FileExists(context.reminder_db_path)) {
    if (!platform::FileExists(context.template_path)) {
      trace::WriteError("Not found " + context.template_path);
      context.quit();
      return false;
    }
    if (!platform::DirectoryExists(context.user_data_dir) &&
        !platform::CreateDirectories(context.user_data_dir)) {
      trace::WriteError("Can not create dir : " + context.user_data_dir);
      context.quit();
      return false;
    }
    if (const int error = CopyTemplateAtomically(context.template_path, context.reminder_db_path)) {
      trace::WriteErrorFmt("copy %s to %s failed : %d", context.template_path,
                           context.reminder_db_path, error);
      context.quit();
      return false;
    }
  }
  connection = std::make_unique<TDBConnection>(context.reminder_db_path);
  try {
    connection->Open();
  } catch (const std::exception& error) {
    trace::WriteException("DBConnection.Open", error);
    return false;
  }
  const bool opened = connection->Connected();
  if (opened) connection->Close();
  trace::WriteLogFmt("PrpareDB [%s] : %s", context.reminder_db_path, opened ? "True" : "False");
  return opened;
}

void AccessDB(TDBConnection& connection, const std::function<void()>& AProc) {
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

void InsertReminderProc(TDBConnection& connection, const TReminderCommand& command) {
  RunProc(command, [&] {
    TDBQuery query(connection,
                   "Insert into Reminders (CalendarID,ItemID,ReminderType,Enabled,StartTime,Repeat,"
                   "RepeatEnd) Values(:CalendarID,:ItemID,:ReminderType,:Enabled,:StartTime,:Repeat,"
                   ":RepeatEnd)");
    BindReminder(query, command);
    query.BindInteger("ReminderType", command.LReminderType);
    query.Execute();
  });
}

void UpdateReminderProc(TDBConnection& connection, const TReminderCommand& command) {
  RunProc(command, [&] {
    TDBQuery query(connection,
                   "Update Reminders Set Enabled=:Enabled,StartTime=:StartTime,Repeat=:Repeat,"
                   "RepeatEnd=:RepeatEnd ,LastNotified=null  where CalendarID=:CalendarID and "
                   "ItemID=:ItemID");
    BindReminder(query, command);
    query.Execute();
  });
}

void DeleteReminderProc(TDBConnection& connection, const TReminderCommand& command) {
  RunProc(command, [&] {
    TDBQuery query(connection, "delete FROM Reminders  where CalendarID=:CalendarID and ItemID=:ItemID");
    query.BindText("CalendarID", command.LCalendarID);
    query.BindText("ItemID", command.LItemID);
    query.Execute();
    trace::WriteLogFmt("Delete CalendarID:%s,ItemID:%s over.", command.LCalendarID, command.LItemID);
  });
}

void ClearCalendarProc(TDBConnection& connection, const TReminderCommand& command) {
  RunProc(command, [&] {
    TDBQuery query(connection, "delete FROM Reminders  where CalendarID=:CalendarID");
    query.BindText("CalendarID", command.LCalendarID);
    query.Execute();
  });
}

void MarkAlertedProc(TDBConnection& connection, const TReminderCommand& command,
                     std::int64_t unix_seconds, const std::string& dump_path) {
  RunProc(command, [&] {
    const std::string sql = "update reminders set lastnotified= " + std::to_string(unix_seconds) +
                            " where ItemID in (" + command.LInItemSql + ")";
    // The dump comes first, so that it shows the last statement even when that
    // statement then fails.
    WriteDumpFile(dump_path, sql, MethodTag(command));
    TDBQuery query(connection, sql);
    query.Execute();
  });
}

void WriteDumpFile(const std::string& path, std::string_view text, const std::string& tag) {
  try {
    platform::WriteWholeFile(path, text);
  } catch (const std::exception& error) {
    trace::WriteException(tag, error);
  }
}

}  // namespace chimewell::store
