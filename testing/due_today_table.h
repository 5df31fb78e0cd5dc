// The table of due-today cases: a zone, a pinned 'now' and stored rows, with
// what the two statements must list. Shared by the native unit test and the
// Windows program that runs the same table under Wine, so it depends on
// neither a test framework nor the POSIX time-zone switch: the caller sets
// the zone (TZ natively, the machine's zone under Wine) and calls CheckCase.
// Expected values are worked out by hand, as wall-clock times with their UTC
// offset, never by running a statement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace chimewell::testing_support {

enum Repeat { kOnce = 0, kDaily = 1, kWeekdays = 2, kWeekly = 3, kMonthly = 4, kYearly = 5 };

// "YYYY-MM-DD HH:MM:SS+HH:MM" (a wall-clock time and its UTC offset) as Unix
// seconds, by calendar arithmetic. Throws std::invalid_argument on a bad text.
std::int64_t Instant(const std::string& text);

// One row of Reminders. Times are texts that Instant() reads; "" is NULL.
struct Row {
  std::string item;
  int type = 0;
  std::string start;
  int repeat = 0;
  std::string end;  // RepeatEnd; "" stands for 0, unless end_null
  bool end_null = false;
  std::string last;  // LastNotified
  std::optional<int> enabled = 1;

  Row Ends(std::string when) const { Row r = *this; r.end = std::move(when); return r; }
  Row NullEnd() const { Row r = *this; r.end_null = true; return r; }
  Row Alerted(std::string when) const { Row r = *this; r.last = std::move(when); return r; }
  Row Enabled(std::optional<int> value) const { Row r = *this; r.enabled = value; return r; }
};

inline Row Timed(std::string item, std::string start, int repeat) {
  Row r;
  r.item = std::move(item);
  r.start = std::move(start);
  r.repeat = repeat;
  return r;
}
inline Row Day(std::string item, std::string start, int repeat) {
  Row r = Timed(std::move(item), std::move(start), repeat);
  r.type = 1;
  return r;
}

// A row the timed statement lists: FinalNotifyTime as an instant in the form
// Instant() reads, and FinalNotifyTimeStr.
struct Listed {
  std::string item;
  std::string notify;
  std::string notify_str;
};

struct DueCase {
  std::string name;
  std::string zone;  // an IANA zone name
  std::string now;   // in the form Instant() reads
  std::vector<Row> rows;
  std::vector<Listed> timed;      // in result order (ties: see CheckCase)
  std::vector<std::string> days;  // ItemIDs, in any order
};

// Every case.
std::vector<DueCase> DueTodayCases();

// The zones of the cases that run under Wine too: east, west, a half-hour
// zone and a daylight-saving zone on its switch days.
std::vector<std::string> WineZones();

// Runs both statements, as the service runs them, on a fresh store copied
// from `template_db` into `work_folder`, with 'now' pinned to the case's
// instant, in whatever zone the process is in. Returns one message per
// difference; empty when the case holds.
std::vector<std::string> CheckCase(const DueCase& c, const std::string& template_db,
                                   const std::string& work_folder);

}  // namespace chimewell::testing_support
