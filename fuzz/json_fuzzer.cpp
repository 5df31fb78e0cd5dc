// Fuzzes the tolerant JSON reader with any byte string as a command text.
//
// Beyond "no crash, no sanitizer report, no escaping exception", it checks
// properties that a caller relies on:
//  - JsonGetStr, JsonGetInt and JsonGetInt64 never throw, whatever the node;
//  - JsonGetArray and JsonNodeText throw only JsonError;
//  - a number's display text has at most 15 significant digits, so it is short;
//  - a parsed document written back as JSON parses again to the same tree
//    (strings, names and number characters kept byte for byte, member order
//    and duplicates kept).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "channel/json.h"

namespace {

using chimewell::channel::JsonError;
using chimewell::channel::JsonKind;
using chimewell::channel::JsonNode;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "json_fuzzer: property broken: %s\n", what);
  std::abort();
}

// A string as JSON: quote, backslash and control bytes escaped, every other
// byte (UTF-8 and WTF-8 alike) written as it is.
void AppendString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

void Write(std::string& out, const JsonNode& node) {
  switch (node.Kind()) {
    case JsonKind::kObject: {
      out += '{';
      bool first = true;
      for (const auto& member : node.Members()) {
        if (!first) out += ',';
        first = false;
        AppendString(out, member.name);
        out += ':';
        Write(out, member.value);
      }
      out += '}';
      break;
    }
    case JsonKind::kArray: {
      out += '[';
      bool first = true;
      for (const JsonNode& element : node.Elements()) {
        if (!first) out += ',';
        first = false;
        Write(out, element);
      }
      out += ']';
      break;
    }
    case JsonKind::kString: AppendString(out, node.Text()); break;
    case JsonKind::kNumber: out += node.Text(); break;
    case JsonKind::kTrue: out += "true"; break;
    case JsonKind::kFalse: out += "false"; break;
    case JsonKind::kNull: out += "null"; break;
  }
}

bool Same(const JsonNode& a, const JsonNode& b) {
  if (a.Kind() != b.Kind() || a.Text() != b.Text()) return false;
  if (a.Elements().size() != b.Elements().size() || a.Members().size() != b.Members().size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.Elements().size(); ++i) {
    if (!Same(a.Elements()[i], b.Elements()[i])) return false;
  }
  for (std::size_t i = 0; i < a.Members().size(); ++i) {
    if (a.Members()[i].name != b.Members()[i].name ||
        !Same(a.Members()[i].value, b.Members()[i].value)) {
      return false;
    }
  }
  return true;
}

// Reads `name` from `node` with every getter, as the protocol does.
void ReadMember(const JsonNode* node, std::string_view name) {
  (void)chimewell::channel::JsonGetStr(node, name, "fallback");
  (void)chimewell::channel::JsonGetInt(node, name, 7);
  (void)chimewell::channel::JsonGetInt64(node, name, 7);
  try {
    const JsonNode& items = chimewell::channel::JsonGetArray(node, name);
    for (const JsonNode& element : items.Elements()) {
      try {
        (void)chimewell::channel::JsonNodeText(element);
      } catch (const JsonError&) {
      }
    }
  } catch (const JsonError&) {
  }
}

// Every node of the tree: its members read by their own names and by the
// protocol's names, its numbers converted for display.
void Visit(const JsonNode& node) {
  static constexpr std::string_view kNames[] = {"method", "data",      "ItemID", "CalendarID",
                                                "Items",  "StartTime", "Enabled"};
  for (const std::string_view name : kNames) ReadMember(&node, name);
  std::size_t read_by_name = 0;
  for (const auto& member : node.Members()) {
    // Lookups are linear: reading every name of a huge object would make the
    // run quadratic and slow the fuzzer down without finding more.
    if (read_by_name++ < 16) ReadMember(&node, member.name);
    Visit(member.value);
  }
  for (const JsonNode& element : node.Elements()) Visit(element);
  if (node.Kind() == JsonKind::kNumber) {
    const auto display = chimewell::channel::JsonNumberDisplayText(node.Text());
    // 15 significant digits, sign, separator and a 4-digit exponent at most;
    // a 64-bit integer has at most 20 characters.
    if (display && (display->empty() || display->size() > 24)) Fail("number display text");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<JsonNode> document;
  try {
    document = chimewell::channel::ParseJsonObject(text);
  } catch (const JsonError&) {
    return 0;  // a well-formed value that is not an object
  }
  if (!document) return 0;
  Visit(*document);

  std::string written;
  Write(written, *document);
  std::optional<JsonNode> again;
  try {
    again = chimewell::channel::ParseJsonObject(written);
  } catch (const JsonError&) {
    Fail("a written object reparsed as another kind");
  }
  if (!again) Fail("a written document does not parse");
  if (!Same(*document, *again)) Fail("a written document parses to another tree");
  return 0;
}
