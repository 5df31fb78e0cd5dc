// The reminder command protocol: one JSON command changes the store and, for
// append, update and delete, rebuilds the today data files.
#include <string>

#include "channel/jsonutils.h"
#include "host/ReminderUtils.h"
#include "host/frmChimewell.h"
#include "platform/locale.h"
#include "platform/utf.h"
#include "store/ReminderStore.h"
#include "trace/uLog.h"

namespace chimewell::host {
namespace {

using channel::JsonNode;


// The first nine characters are "Reminder." under the user's case rules.
bool HasReminderPrefix(const std::string& method) {
  if (platform::Utf16Length(method) < 9) return false;
  return platform::SameTextIgnoringCase(
      std::string_view(method).substr(0, platform::Utf8OffsetOfUtf16Units(method, 9)), "Reminder.");
}

// The alerted items as SQL string literals: 'a','b''c'. SQLite reads SQL
// text only up to a zero character, so a zero inside an ItemID (a \u0000
// escape) would cut the statement inside its literal and fail the whole
// alert, the other items included: it is written as '||char(0)||', which
// makes the same text.
std::string InItemSql(const JsonNode& items) {
  std::string sql;
  for (const JsonNode& element : items.Elements()) {
    if (!sql.empty()) sql += ',';
    sql += '\'';
    for (const char c : channel::JsonNodeText(element)) {
      if (c == '\0') {
        sql += "'||char(0)||'";
        continue;
      }
      if (c == '\'') sql += '\'';
      sql += c;
    }
    sql += '\'';
  }
  return sql;
}

}  // namespace

std::int32_t TfrmChimewell::ProcessQueryCommand(const std::string& text) {
  trace::WriteLogFmt("ProcessQueryCommand : %s", text);
  if (!store_ready_) {
    // Nothing may reach a store that start-up has not prepared.
    trace::WriteError("Store not prepared yet: command refused.");
    return -1;
  }
  const std::optional<JsonNode> document = channel::ParseJsonObject(text);
  if (!document) return -1;
  store::TReminderCommand command;
  command.LMethod = channel::JsonGetStr(&*document, "method", "");
  if (!HasReminderPrefix(command.LMethod)) return -1;
  const JsonNode* data = channel::JsonFindMember(&*document, "data");
  command.LItemID = channel::JsonGetStr(data, "ItemID", "");
  command.LCalendarID = channel::JsonGetStr(data, "CalendarID", "");
  if (data == nullptr) return -1;

  const bool append = platform::EqualsIgnoringAsciiCase(command.LMethod, "Reminder.Append");
  if (append || platform::EqualsIgnoringAsciiCase(command.LMethod, "Reminder.Update")) {
    command.LReminderType = channel::JsonGetInt(data, "ReminderType", 0);
    command.LStartTime = channel::JsonGetInt64(data, "StartTime", 0);
    command.LEnabled = channel::JsonGetInt(data, "Enabled", 0);
    command.LRepeat = channel::JsonGetInt(data, "Repeat", 0);
    command.LRepeatEnd = channel::JsonGetInt64(data, "RepeatEnd", 0);
    if (command.LItemID.empty() || command.LCalendarID.empty()) {
      trace::WriteError("ItemID or CalendarID Invalid.");
      return -1;
    }
    trace::WriteLogFmt("Method:%s,CaledndarID:%s,ItemID:%s", command.LMethod, command.LCalendarID,
                       command.LItemID);
    store::AccessDB(*LDBConnection, [&] {
      if (append) {
        store::InsertReminderProc(*LDBConnection, command);
      } else {
        store::UpdateReminderProc(*LDBConnection, command);
      }
    });
    ReCreateReminderData();
  } else if (platform::EqualsIgnoringAsciiCase(command.LMethod, "Reminder.Delete")) {
    store::AccessDB(*LDBConnection, [&] { store::DeleteReminderProc(*LDBConnection, command); });
    ReCreateReminderData();
  } else if (platform::EqualsIgnoringAsciiCase(command.LMethod, "Reminder.Clear")) {
    store::AccessDB(*LDBConnection, [&] { store::ClearCalendarProc(*LDBConnection, command); });
  } else if (platform::EqualsIgnoringAsciiCase(command.LMethod, "Reminder.Alert")) {
    const JsonNode& items = channel::JsonGetArray(data, "Items");
    command.LInItemSql = InItemSql(items);
    if (!items.Elements().empty()) {
      const std::string dump = GetUserCacheDir(GetUserID()) + "~~Alert.dat";
      store::AccessDB(*LDBConnection, [&] {
        store::MarkAlertedProc(*LDBConnection, command, clock_.UnixSeconds(), dump);
      });
    }
  }
  return -1;
}

}  // namespace chimewell::host
