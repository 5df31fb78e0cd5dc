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
  // The same without a copy of the element: returns the text to which the
  // caller appends the row's element, exactly one, before the next call.
  std::string& NextElement();
  // The whole document; the builder is spent.
  std::string Finish();

 private:
  // Writes the open group's member up to its first element into the
  // document, with the elements that waited for the group's ID.
  void OpenGroup();
  void CloseGroup();
  std::string root_ = "{";
  std::string group_id_;
  // A group's elements go straight into root_ once its member is open there;
  // rows with an empty ID wait here until a row names their group.
  std::string waiting_;
  bool open_in_root_ = false;
  std::size_t open_count_ = 0;
};

}  // namespace chimewell::today
