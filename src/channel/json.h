// Tolerant reading of JSON command texts: a strict parser that builds a tree,
// getters that fall back to a default for anything missing or unusable, and
// one strict array getter.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace chimewell::channel {

// A failure raised by ParseJsonObject, JsonGetArray or JsonNodeText.
class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class JsonKind : unsigned char { kObject, kArray, kString, kNumber, kTrue, kFalse, kNull };

struct JsonMember;

// One node of a parsed document. Objects keep their members in input order,
// duplicates included; numbers keep their characters exactly as written.
class JsonNode {
 public:
  // A node of `kind`; `text` is a string's UTF-8 text or a number's
  // characters, and is ignored (left empty) for the other kinds.
  explicit JsonNode(JsonKind kind, std::string text = {});

  JsonKind Kind() const noexcept { return kind_; }
  // The string's text or the number's characters; empty for other kinds.
  const std::string& Text() const noexcept { return text_; }
  // The array's elements; empty for other kinds.
  const std::vector<JsonNode>& Elements() const noexcept { return elements_; }
  // The object's members in input order; empty for other kinds.
  const std::vector<JsonMember>& Members() const noexcept { return members_; }

  // Builders. Precondition: the node is an array (AddElement) or an object (AddMember).
  void AddElement(JsonNode element);
  void AddMember(std::string name, JsonNode value);

 private:
  JsonKind kind_;
  std::string text_;
  std::vector<JsonNode> elements_;
  std::vector<JsonMember> members_;
};

struct JsonMember {
  std::string name;  // UTF-8
  JsonNode value;
};

// Parses `text` (UTF-8; each invalid byte is read as U+FFFD) as one JSON
// value that must end exactly at the end of the text and nest at most 512
// objects and arrays deep. Returns the object, or nothing when the text does
// not parse. Throws JsonError("Invalid class typecast") when it parses to a
// value that is not an object.
std::optional<JsonNode> ParseJsonObject(std::string_view text);

// The first member of `node` whose name equals `name` exactly (case
// included); nullptr when `node` is null, not an object or has no such member.
// The result points into the node.
const JsonNode* JsonFindMember(const JsonNode* node, std::string_view name);

// The member's text: a string's text or a number's display text. `fallback`
// for a missing or null member, another kind, an empty text or a number that
// does not convert. Never throws.
std::string JsonGetStr(const JsonNode* node, std::string_view name, std::string_view fallback);

// The member's value when it is a number written as a whole decimal (no
// fraction, no exponent) within the type's range; `fallback` otherwise,
// strings of digits included. Never throws.
std::int32_t JsonGetInt(const JsonNode* node, std::string_view name, std::int32_t fallback);
std::int64_t JsonGetInt64(const JsonNode* node, std::string_view name, std::int64_t fallback);

// The member, which must be an array; the result belongs to `node`'s
// document. Throws JsonError("Value '<name>' not found") when it is missing
// and JsonError("Invalid class typecast") when it is of another kind (null too).
const JsonNode& JsonGetArray(const JsonNode* node, std::string_view name);

// The text of one node, as an element of an array is listed: a string's
// text, a number's display text, "true", "false" or "null"; empty for an
// object or an array. Throws JsonError("Number '<characters>' cannot be
// converted") when a number does not convert.
std::string JsonNodeText(const JsonNode& node);

// A number's display text, or nothing when its characters do not convert.
// `characters` must follow the JSON number grammar. More than 11 characters
// without a "." are read as a 64-bit integer and written back in decimal;
// anything else is read as a double and written with at most 15 significant
// digits and the user's decimal separator: fixed notation for decimal
// exponents -5..14, otherwise mantissa, "E" and exponent (1E15, 1.5E-7).
// Values too small for a double read as 0; too large ones do not convert.
std::optional<std::string> JsonNumberDisplayText(std::string_view characters);

}  // namespace chimewell::channel
