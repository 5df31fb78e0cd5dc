#include "today/today_data.h"

#include <charconv>
#include <iterator>
#include <stdexcept>

#include "platform/files.h"
#include "store/reminder_store.h"
#include "today/today_document.h"
#include "today/today_sql.h"
#include "trace/trace.h"

namespace chimewell::today {
namespace {

// The columns a data file reads, found by name once per run.
struct Columns {
  std::size_t calendar = 0;
  std::size_t item = 0;
  std::size_t time = 0;       // FinalNotifyTime (timed file only)
  std::size_t time_text = 0;  // FinalNotifyTimeStr (timed file only)
};

// What differs between the two data files.
struct TodayFile {
  const char* operation;       // trace and error tag prefix
  const std::string& (*sql)();
  const char* dump_name;
  const char* file_name;
  const char* no_rows_error;
  const char* count_format;
  bool trace_refreshed;
  Columns (*columns)(const store::DBQuery& query);
  // Appends one row's element to `out` and writes its trace line.
  void (*element)(const store::DBQuery& query, std::size_t row, const Columns& columns,
                  std::string_view group, std::string& out);
};

std::size_t Field(const store::DBQuery& query, std::string_view name) {
  const auto index = query.FieldIndex(name);
  if (!index) throw std::runtime_error("Field '" + std::string(name) + "' not found");
  return *index;
}

// The value as a 64-bit integer: an integer as it is, a text of digits as
// its number; anything else does not convert.
std::int64_t Int64(const store::DBQuery& query, std::size_t row, std::size_t field) {
  const store::DBValue value = query.Value(row, field);
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return *integer;
  std::string scratch;
  const std::string_view text = query.AsStringView(row, field, scratch);
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    throw std::runtime_error("'" + std::string(text) + "' is not a valid integer value");
  }
  return number;
}

// Looked up in the order the rows first use them, so a missing column is
// reported as the first row would have met it.
Columns ReminderColumns(const store::DBQuery& query) {
  Columns columns;
  columns.calendar = Field(query, "CalendarID");
  columns.item = Field(query, "ItemID");
  columns.time = Field(query, "FinalNotifyTime");
  columns.time_text = Field(query, "FinalNotifyTimeStr");
  return columns;
}

Columns DaysMatterColumns(const store::DBQuery& query) {
  Columns columns;
  columns.calendar = Field(query, "CalendarID");
  columns.item = Field(query, "ItemID");
  return columns;
}

void ReminderElement(const store::DBQuery& query, std::size_t row, const Columns& columns,
                     std::string_view group, std::string& out) {
  std::string item_scratch, text_scratch;
  const std::string_view item = query.AsStringView(row, columns.item, item_scratch);
  const std::int64_t time = Int64(query, row, columns.time);
  const std::string_view time_text = query.AsStringView(row, columns.time_text, text_scratch);
  out += "{\"ItemID\":";
  AppendJsonString(out, item);
  char digits[24];
  const auto written = std::to_chars(std::begin(digits), std::end(digits), time);
  out += ",\"RemindTime\":";
  out.append(digits, written.ptr);
  out += ",\"RemindTimeStr\":";
  AppendJsonString(out, time_text);
  out += '}';
  trace::WriteLogFmt("  >> Item CalendarID : %s , ItemID : %s , RemindTime : %d , RemindTimeStr : %s",
                     group, item, time, time_text);
}

void DaysMatterElement(const store::DBQuery& query, std::size_t row, const Columns& columns,
                       std::string_view group, std::string& out) {
  std::string scratch;
  const std::string_view item = query.AsStringView(row, columns.item, scratch);
  out += "{\"ItemID\":";
  AppendJsonString(out, item);
  out += '}';
  trace::WriteLogFmt("  >> Item CalendarID : %s , ItemID : %s", group, item);
}

const TodayFile kReminderFile{"MakeTodayReminderData", TodayReminderSql, "~~reminder.dat",
                              "reminder.json", "No reminder data.", "Record.count : %d", true,
                              ReminderColumns, ReminderElement};
const TodayFile kDaysMatterFile{"MakeTodayDaysMatterData", TodayDaysMatterSql, "~~DaysMatter.dat",
                                "daysmatter.json", "No DaysMatter data.", "DaysMatterData.Count=%d",
                                false, DaysMatterColumns, DaysMatterElement};

// Closes the connection however the run ends; without a transaction open the
// close has nothing to commit and cannot fail.
class CloseOnExit {
 public:
  explicit CloseOnExit(store::DBConnection& connection) : connection_(connection) {}
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
  store::DBConnection& connection_;
};

// Replaces the target with the document in one step. A failed move is
// traced here; the other failures go to the caller.
void WriteAndReplace(platform::FileSystem& files, const TodayFile& file, const std::string& target,
                     const std::string& document) {
  try {
    platform::ReplaceFileAtomically(files, target, document);
  } catch (const platform::FileError& error) {
    if (error.Step() != platform::FileStep::kMove) throw;
    trace::WriteErrorFmt("move %s to %s failed : %d", platform::ReplacementName(target), target, error.Code());
    return;
  }
  if (file.trace_refreshed) trace::WriteLogFmt("%s refreshd.", target);
}

bool MakeTodayData(const TodayFile& file, store::DBConnection& connection, const TodayFolders& folders,
                   platform::FileSystem& files) {
  trace::WriteLog(std::string(file.operation) + " >");
  {
    CloseOnExit close(connection);
    connection.Open();
    RegisterTodaySqlFunctions(connection.Handle());
    store::DBQuery query(connection, file.sql());
    store::WriteDumpFile(files, folders.user_cache_dir + file.dump_name, file.sql(), file.operation);
    const std::string target = folders.today_dir + file.file_name;
    query.Open();
    if (query.RecordCount() == 0) {
      trace::WriteError(file.no_rows_error);
      try {
        if (files.FileExists(target)) files.DeleteFile(target);
      } catch (const platform::FileError& error) {
        trace::WriteException(file.operation, error);
      }
    } else {
      trace::WriteLogFmt(file.count_format, query.RecordCount());
      try {
        const Columns columns = file.columns(query);
        TodayDocumentBuilder document;
        std::string scratch;
        for (std::size_t row = 0; row < query.RecordCount(); ++row) {
          const std::string& group = document.BeginRow(query.AsStringView(row, columns.calendar, scratch));
          file.element(query, row, columns, group, document.NextElement());
        }
        WriteAndReplace(files, file, target, document.Finish());
      } catch (const std::exception& error) {
        trace::WriteException(std::string(file.operation) + "#LQuery", error);
      }
    }
  }
  trace::WriteLog(std::string(file.operation) + " over.");
  return true;
}

}  // namespace

bool MakeTodayReminderData(store::DBConnection& connection, const TodayFolders& folders,
                           platform::FileSystem& files) {
  return MakeTodayData(kReminderFile, connection, folders, files);
}

bool MakeTodayDaysMatterData(store::DBConnection& connection, const TodayFolders& folders,
                             platform::FileSystem& files) {
  return MakeTodayData(kDaysMatterFile, connection, folders, files);
}

}  // namespace chimewell::today
