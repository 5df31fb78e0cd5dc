// The JSON text of the today data files: rows grouped by calendar, written
// without white space and with exactly eight escapes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace chimewell::today {

// `text` as a JSON string, quotes included: \b \t \n \f \r \" \/ \\ are the
// only escapes; every other character, control characters and non-ASCII
// included, is written as it is (UTF-8).
void AppendJsonString(std::string& out, std::string_view text);

// Builds the root object from rows in result order. Adjacent rows whose
// calendar IDs are the same (ASCII letters compared without case) form one
// member "Calendar_<id>":{"ID":"<id>","Reminds":[...]} keyed by the first
// row's ID. Rows with an empty ID join the group of the next non-empty ID;
// empty-ID rows after the last non-empty one are written nowhere. Keys repeat
// when a calendar's rows are not adjacent.
class TodayDocumentBuilder {
 public:
  // Starts the next row: closes the open group when the calendar changes and
  // returns the group ID the row goes into, as its trace line shows it.
  const std::string& BeginRow(std::string_view calendar_id);
  // Appends the row's element (already JSON) to the open group.
  void AppendElement(std::string_view element_json);
  // The whole document; the builder is spent.
  std::string Finish();

 private:
  void CloseGroup();
  std::string root_ = "{";
  std::string group_id_;
  std::string open_array_;  // the open group's elements, comma-separated
  std::size_t open_count_ = 0;
};

}  // namespace chimewell::today
