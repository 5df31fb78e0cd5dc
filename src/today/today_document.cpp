#include "today/today_document.h"

#include "platform/utf.h"

namespace chimewell::today {
namespace {

// The escape of a character, or nullptr for one written as it is.
const char* EscapeOf(char c) {
  switch (c) {
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\f': return "\\f";
    case '\r': return "\\r";
    case '"': return "\\\"";
    case '/': return "\\/";
    case '\\': return "\\\\";
    default: return nullptr;
  }
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  // Runs of characters without an escape are copied whole.
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (const char* escape = EscapeOf(text[i])) {
      out.append(text.substr(run, i - run));
      out += escape;
      run = i + 1;
    }
  }
  out.append(text.substr(run));
  out += '"';
}

const std::string& TodayDocumentBuilder::BeginRow(std::string_view calendar_id) {
  const bool same = platform::EqualsIgnoringAsciiCase(calendar_id, group_id_);
  if (!group_id_.empty() && !same && open_count_ > 0) CloseGroup();
  if (!same) group_id_ = calendar_id;
  return group_id_;
}

void TodayDocumentBuilder::AppendElement(std::string_view element_json) { NextElement() += element_json; }

std::string& TodayDocumentBuilder::NextElement() {
  if (!open_in_root_ && !group_id_.empty()) OpenGroup();
  std::string& out = open_in_root_ ? root_ : waiting_;
  if (open_count_++ > 0) out += ',';
  return out;
}

void TodayDocumentBuilder::OpenGroup() {
  if (root_.size() > 1) root_ += ',';
  root_ += "\"Calendar_";
  // The key is the ID escaped as a JSON string, after the prefix.
  std::string id;
  AppendJsonString(id, group_id_);
  root_.append(id, 1, std::string::npos);
  root_ += ":{\"ID\":";
  root_ += id;
  root_ += ",\"Reminds\":[";
  root_ += waiting_;
  waiting_.clear();
  open_in_root_ = true;
}

void TodayDocumentBuilder::CloseGroup() {
  if (!open_in_root_) OpenGroup();
  root_ += "]}";
  open_in_root_ = false;
  open_count_ = 0;
}

std::string TodayDocumentBuilder::Finish() {
  if (!group_id_.empty() && open_count_ > 0) CloseGroup();
  root_ += '}';
  return std::move(root_);
}

}  // namespace chimewell::today
