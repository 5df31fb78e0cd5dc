#include "today/TodayDocument.h"

#include "platform/utf.h"

namespace chimewell::today {
void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '/': out += "\\/"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  out += '"';
}

const std::string& TodayDocumentBuilder::BeginRow(std::string_view calendar_id) {
  const bool same = platform::EqualsIgnoringAsciiCase(calendar_id, group_id_);
  if (!group_id_.empty() && !same && open_count_ > 0) CloseGroup();
  if (!same) group_id_ = calendar_id;
  return group_id_;
}

void TodayDocumentBuilder::AppendElement(std::string_view element_json) {
  if (open_count_++ > 0) open_array_ += ',';
  open_array_ += element_json;
}

void TodayDocumentBuilder::CloseGroup() {
  if (root_.size() > 1) root_ += ',';
  AppendJsonString(root_, "Calendar_" + group_id_);
  root_ += ":{\"ID\":";
  AppendJsonString(root_, group_id_);
  root_ += ",\"Reminds\":[";
  root_ += open_array_;
  root_ += "]}";
  open_array_.clear();
  open_count_ = 0;
}

std::string TodayDocumentBuilder::Finish() {
  if (!group_id_.empty() && open_count_ > 0) CloseGroup();
  root_ += '}';
  return std::move(root_);
}

}  // namespace chimewell::today
