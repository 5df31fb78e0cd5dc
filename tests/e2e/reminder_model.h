// What the store should hold after a run of commands: a model the
// reliability tests keep beside the real service, and the checks of the
// today files that the calendar reads.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace chimewell::e2e {

struct ModelRow {
  int type = 0;
  int enabled = 1;
  std::int64_t start = 0;
  int repeat = 0;
  std::int64_t repeat_end = 0;
  bool alerted = false;  // LastNotified set
};

// One reminder command, its JSON text and its effect on the model.
struct ModelCommand {
  enum class Kind { kAppend, kUpdate, kDelete, kClear, kAlert } kind;
  std::string calendar, item;  // kAlert: item is the one alerted ItemID
  ModelRow row;                // kAppend, kUpdate
  std::string Text() const;
};

// Keyed by (CalendarID, ItemID): the table's key.
class ReminderModel {
 public:
  void Apply(const ModelCommand& command);
  // Rows in the layout of ServiceRig::Rows, LastNotified shown as "*" when
  // set (its value is the service's clock); see NormalizeAlerts.
  std::vector<std::string> Render() const;
  const std::map<std::pair<std::string, std::string>, ModelRow>& Rows() const { return rows_; }
  bool Empty() const { return rows_.empty(); }

 private:
  std::map<std::pair<std::string, std::string>, ModelRow> rows_;
};

// Store rows with a set LastNotified replaced by "*".
std::vector<std::string> NormalizeAlerts(std::vector<std::string> rows);

// A today file as the calendar reads it: nothing when it is absent; an error
// text when it is not a complete document (a JSON object whose members are
// {"ID":"...","Reminds":[...]} with at least one element); otherwise the
// ItemIDs it lists, in order.
struct TodayFileCheck {
  bool present = false;
  std::string error;  // empty when complete
  std::vector<std::string> items;
};
TodayFileCheck CheckTodayFile(const std::string& path);

}  // namespace chimewell::e2e
