#include "today/TodayData.h"

#include <charconv>
#include <functional>
#include <stdexcept>

#include "platform/files.h"
#include "store/ReminderStore.h"
#include "today/TodayDocument.h"
#include "today/TodaySql.h"
#include "trace/uLog.h"

namespace chimewell::today {
namespace {

// What differs between the two data files.
struct TodayFile {
  const char* operation;       // trace and error tag prefix
  const std::string& (*sql)();
  const char* dump_name;
  const char* file_name;
  const char* no_rows_error;
  const char* count_format;
  bool trace_refreshed;
  // Builds one row's element and writes its trace line.
  std::function<std::string(const store::TDBQuery&, std::size_t row, const std::string& group)> element;
};

std::size_t Field(const store::TDBQuery& query, std::string_view name) {
  const auto index = query.FieldIndex(name);
  if (!index) throw std::runtime_error("Field '" + std::string(name) + "' not found");
  return *index;
}

std::string Text(const store::TDBQuery& query, std::size_t row, std::string_view name) {
  return query.AsString(row, Field(query, name));
}

// The value as a 64-bit integer: an integer as it is, a text of digits as
// its number; anything else does not convert.
std::int64_t Int64(const store::TDBQuery& query, std::size_t row, std::string_view name) {
  const store::DBValue& value = query.Value(row, Field(query, name));
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return *integer;
  const std::string text = query.AsString(row, Field(query, name));
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    throw std::runtime_error("'" + text + "' is not a valid integer value");
  }
  return number;
}

std::string ReminderElement(const store::TDBQuery& query, std::size_t row, const std::string& group) {
  const std::string item = Text(query, row, "ItemID");
  const std::int64_t time = Int64(query, row, "FinalNotifyTime");
  const std::string time_text = Text(query, row, "FinalNotifyTimeStr");
  std::string element = "{\"ItemID\":";
  AppendJsonString(element, item);
  element += ",\"RemindTime\":" + std::to_string(time) + ",\"RemindTimeStr\":";
  AppendJsonString(element, time_text);
  element += '}';
  trace::WriteLogFmt("  >> Item CalendarID : %s , ItemID : %s , RemindTime : %d , RemindTimeStr : %s",
                     group, item, time, time_text);
  return element;
}

std::string DaysMatterElement(const store::TDBQuery& query, std::size_t row, const std::string& group) {
  const std::string item = Text(query, row, "ItemID");
  std::string element = "{\"ItemID\":";
  AppendJsonString(element, item);
  element += '}';
  trace::WriteLogFmt("  >> Item CalendarID : %s , ItemID : %s", group, item);
  return element;
}

const TodayFile kReminderFile{"MakeTodayReminderData", TodayReminderSql, "~~reminder.dat",
                              "reminder.json", "No reminder data.", "Record.count : %d", true,
                              ReminderElement};
const TodayFile kDaysMatterFile{"MakeTodayDaysMatterData", TodayDaysMatterSql, "~~DaysMatter.dat",
                                "daysmatter.json", "No DaysMatter data.", "DaysMatterData.Count=%d",
                                false, DaysMatterElement};

// Closes the connection however the run ends; without a transaction open the
// close has nothing to commit and cannot fail.
class CloseOnExit {
 public:
  explicit CloseOnExit(store::TDBConnection& connection) : connection_(connection) {}
  ~CloseOnExit() {
    try {
      connection_.Close();
    } catch (const std::exception& error) {
      trace::WriteException("DBConnection.Close", error);
    }
  }
  CloseOnExit(const CloseOnExit&) = delete;
  CloseOnExit& operator=(const CloseOnExit&) = delete;

 private:
  store::TDBConnection& connection_;
};

// Writes the document to target + "~" and moves it over the target.
void WriteAndReplace(const TodayFile& file, const std::string& target, const std::string& document) {
  const std::string temporary = target + "~";
  platform::WriteWholeFile(temporary, document);
  if (const int error = platform::MoveFileReplacing(temporary, target)) {
    trace::WriteErrorFmt("move %s to %s failed : %d", temporary, target, error);
    return;
  }
  if (file.trace_refreshed) trace::WriteLogFmt("%s refreshd.", target);
}

bool MakeTodayData(const TodayFile& file, store::TDBConnection& connection, const TodayFolders& folders) {
  trace::WriteLog(std::string(file.operation) + " >");
  {
    CloseOnExit close(connection);
    connection.Open();
    store::TDBQuery query(connection, file.sql());
    store::WriteDumpFile(folders.user_cache_dir + file.dump_name, file.sql(), file.operation);
    const std::string target = folders.today_dir + file.file_name;
    query.Open();
    if (query.RecordCount() == 0) {
      trace::WriteError(file.no_rows_error);
      if (platform::FileExists(target)) platform::DeleteFile(target);
    } else {
      trace::WriteLogFmt(file.count_format, query.RecordCount());
      try {
        TodayDocumentBuilder document;
        for (std::size_t row = 0; row < query.RecordCount(); ++row) {
          const std::string& group = document.BeginRow(Text(query, row, "CalendarID"));
          document.AppendElement(file.element(query, row, group));
        }
        WriteAndReplace(file, target, document.Finish());
      } catch (const std::exception& error) {
        trace::WriteException(std::string(file.operation) + "#LQuery", error);
      }
    }
  }
  trace::WriteLog(std::string(file.operation) + " over.");
  return true;
}

}  // namespace

bool MakeTodayReminderData(store::TDBConnection& connection, const TodayFolders& folders) {
  return MakeTodayData(kReminderFile, connection, folders);
}

bool MakeTodayDaysMatterData(store::TDBConnection& connection, const TodayFolders& folders) {
  return MakeTodayData(kDaysMatterFile, connection, folders);
}

}  // namespace chimewell::today
