#include "reminder_model.h"

#include <fstream>
#include <iterator>

#include "channel/json.h"

namespace chimewell::e2e {
namespace {

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string ModelCommand::Text() const {
  const std::string ids = "\"CalendarID\":" + Quoted(calendar) + ",\"ItemID\":" + Quoted(item);
  const std::string fields = ",\"ReminderType\":" + std::to_string(row.type) +
                             ",\"Enabled\":" + std::to_string(row.enabled) +
                             ",\"StartTime\":" + std::to_string(row.start) +
                             ",\"Repeat\":" + std::to_string(row.repeat) +
                             ",\"RepeatEnd\":" + std::to_string(row.repeat_end);
  switch (kind) {
    case Kind::kAppend: return R"({"method":"Reminder.Append","data":{)" + ids + fields + "}}";
    case Kind::kUpdate: return R"({"method":"Reminder.Update","data":{)" + ids + fields + "}}";
    case Kind::kDelete: return R"({"method":"Reminder.Delete","data":{)" + ids + "}}";
    case Kind::kClear:
      return R"({"method":"Reminder.Clear","data":{"CalendarID":)" + Quoted(calendar) + "}}";
    case Kind::kAlert: return R"({"method":"Reminder.Alert","data":{"Items":[)" + Quoted(item) + "]}}";
  }
  return {};
}

void ReminderModel::Apply(const ModelCommand& command) {
  const auto key = std::make_pair(command.calendar, command.item);
  switch (command.kind) {
    case ModelCommand::Kind::kAppend:
      rows_.emplace(key, command.row);  // an existing pair stays as it was
      break;
    case ModelCommand::Kind::kUpdate:
      if (auto it = rows_.find(key); it != rows_.end()) {
        const int type = it->second.type;  // the update keeps the type
        it->second = command.row;
        it->second.type = type;
        it->second.alerted = false;
      }
      break;
    case ModelCommand::Kind::kDelete: rows_.erase(key); break;
    case ModelCommand::Kind::kClear:
      std::erase_if(rows_, [&](const auto& entry) { return entry.first.first == command.calendar; });
      break;
    case ModelCommand::Kind::kAlert:
      for (auto& [row_key, row] : rows_) {
        if (row_key.second == command.item) row.alerted = true;
      }
      break;
  }
}

std::vector<std::string> ReminderModel::Render() const {
  std::vector<std::string> out;
  for (const auto& [key, row] : rows_) {
    out.push_back(key.first + "|" + key.second + "|" + std::to_string(row.type) + "|" +
                  std::to_string(row.enabled) + "|" + std::to_string(row.start) + "|" +
                  std::to_string(row.repeat) + "|" + std::to_string(row.repeat_end) + "|" +
                  (row.alerted ? "*" : "-"));
  }
  return out;
}

std::vector<std::string> NormalizeAlerts(std::vector<std::string> rows) {
  for (std::string& row : rows) {
    const std::size_t cut = row.rfind('|');
    if (cut != std::string::npos && row.substr(cut + 1) != "-") row = row.substr(0, cut + 1) + "*";
  }
  return rows;
}

TodayFileCheck CheckTodayFile(const std::string& path) {
  TodayFileCheck check;
  std::ifstream in(path, std::ios::binary);
  if (!in) return check;
  check.present = true;
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::optional<channel::JsonNode> document;
  try {
    document = channel::ParseJsonObject(text);
  } catch (const channel::JsonError& error) {
    check.error = std::string(error.what()) + ": " + text;
    return check;
  }
  if (!document) {
    check.error = "not JSON: " + text;
    return check;
  }
  for (const auto& member : document->Members()) {
    const channel::JsonNode* id = channel::JsonFindMember(&member.value, "ID");
    const channel::JsonNode* reminds = channel::JsonFindMember(&member.value, "Reminds");
    if (id == nullptr || reminds == nullptr || reminds->Kind() != channel::JsonKind::kArray ||
        reminds->Elements().empty() || member.name != "Calendar_" + id->Text()) {
      check.error = "not a today document: " + text;
      return check;
    }
    for (const channel::JsonNode& element : reminds->Elements()) {
      check.items.push_back(channel::JsonGetStr(&element, "ItemID", ""));
    }
  }
  return check;
}

}  // namespace chimewell::e2e
