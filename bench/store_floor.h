// The store side of chimewell_bench: a reminder store filled with a
// realistic mix before the service starts, and the store floor, a minimal
// use of the SQLite C API that does what one command unavoidably costs.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <variant>
#include <vector>

namespace chimewell::bench {

struct Reminder {
  std::string calendar;
  std::string item;
  int type = 0;
  int enabled = 1;
  std::int64_t start = 0;
  int repeat = 0;
  std::int64_t repeat_end = 0;
};

// The instant the mix is made around.
struct SeedTime {
  std::int64_t now = 0;                     // Unix seconds
  std::int64_t seconds_since_midnight = 0;  // local time of day
};

// Adds `count` reminders to the store at `path` (a copy of the template) in
// one transaction and returns them. The mix: both types, every repeat code,
// some disabled, some alerted today or yesterday, some ended, and a share
// that falls due today. The same seed gives the same store.
std::vector<Reminder> SeedStore(const std::string& path, std::size_t count, SeedTime when,
                                std::mt19937_64& random);

// A named parameter of a statement.
struct Binding {
  const char* name;  // with its ':'
  std::variant<std::int64_t, std::string> value;
};

// The statements of the commands, as the service runs them.
extern const char kInsertSql[];
extern const char kUpdateSql[];
extern const char kDeleteSql[];
std::string AlertSql(std::int64_t unix_seconds, const std::string& item);

std::vector<Binding> InsertBindings(const Reminder& reminder);
std::vector<Binding> UpdateBindings(const Reminder& reminder);
std::vector<Binding> DeleteBindings(const Reminder& reminder);

// Rows the two today statements listed.
struct TodayCounts {
  std::size_t reminders = 0;
  std::size_t days_matter = 0;
};

// The floor of the store work: no trace, no dumps, no copies of rows; one
// connection opened with the service's flags and pragmas per unit of work.
class StoreFloor {
 public:
  StoreFloor(std::string db_path, std::string today_dir);

  // Open, begin, the statement, commit, close.
  void RunUnit(const std::string& sql, const std::vector<Binding>& bindings) const;
  // Open, both today statements with every column of every row read, close;
  // then each data file written to name + "~" and moved over the name (or
  // deleted when no row is due).
  TodayCounts Rebuild() const;
  // The same with each statement in a unit of work of its own (open, the
  // statement, close), as the service's rebuild is made: the difference to
  // Rebuild() is what the second unit of work costs.
  TodayCounts RebuildInTwoUnits() const;

  std::string ReminderFile() const { return today_dir_ + "reminder.json"; }
  std::string DaysMatterFile() const { return today_dir_ + "daysmatter.json"; }

 private:
  TodayCounts Build(bool two_units) const;
  std::string db_path_;
  std::string today_dir_;
};

}  // namespace chimewell::bench
