#include "channel/reminder_command.h"

#include "channel/json.h"
#include "platform/locale.h"
#include "platform/utf.h"
#include "trace/trace.h"

namespace chimewell::channel {
namespace {

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
    for (const char c : JsonNodeText(element)) {
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

DecodedReminderCommand DecodeReminderCommand(const std::string& text) {
  DecodedReminderCommand decoded;
  const std::optional<JsonNode> document = ParseJsonObject(text);
  if (!document) return decoded;
  store::ReminderCommand& command = decoded.command;
  command.LMethod = JsonGetStr(&*document, "method", "");
  if (!HasReminderPrefix(command.LMethod)) return decoded;
  const JsonNode* data = JsonFindMember(&*document, "data");
  command.LItemID = JsonGetStr(data, "ItemID", "");
  command.LCalendarID = JsonGetStr(data, "CalendarID", "");
  if (data == nullptr) return decoded;

  const bool append = platform::EqualsIgnoringAsciiCase(command.LMethod, "Reminder.Append");
  if (append || platform::EqualsIgnoringAsciiCase(command.LMethod, "Reminder.Update")) {
    command.LReminderType = JsonGetInt(data, "ReminderType", 0);
    command.LStartTime = JsonGetInt64(data, "StartTime", 0);
    command.LEnabled = JsonGetInt(data, "Enabled", 0);
    command.LRepeat = JsonGetInt(data, "Repeat", 0);
    command.LRepeatEnd = JsonGetInt64(data, "RepeatEnd", 0);
    if (command.LItemID.empty() || command.LCalendarID.empty()) {
      trace::WriteError("ItemID or CalendarID Invalid.");
      return decoded;
    }
    trace::WriteLogFmt("Method:%s,CaledndarID:%s,ItemID:%s", command.LMethod, command.LCalendarID,
                       command.LItemID);
    decoded.method = append ? ReminderMethod::kAppend : ReminderMethod::kUpdate;
  } else if (platform::EqualsIgnoringAsciiCase(command.LMethod, "Reminder.Delete")) {
    decoded.method = ReminderMethod::kDelete;
  } else if (platform::EqualsIgnoringAsciiCase(command.LMethod, "Reminder.Clear")) {
    decoded.method = ReminderMethod::kClear;
  } else if (platform::EqualsIgnoringAsciiCase(command.LMethod, "Reminder.Alert")) {
    const JsonNode& items = JsonGetArray(data, "Items");
    command.LInItemSql = InItemSql(items);
    decoded.alert_has_items = !items.Elements().empty();
    decoded.method = ReminderMethod::kAlert;
  }
  return decoded;
}

}  // namespace chimewell::channel
