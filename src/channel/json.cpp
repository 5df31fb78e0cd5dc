#include "channel/json.h"

#include <algorithm>
#include <charconv>
#include <system_error>
#include <utility>

#include "platform/locale.h"
#include "platform/utf.h"

namespace chimewell::channel {
namespace {

constexpr std::size_t kMaxDepth = 512;
constexpr const char* kInvalidTypecast = "Invalid class typecast";

bool IsWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One UTF-16 code unit as UTF-8; a surrogate half becomes its 3-byte WTF-8 form.
void AppendCodeUnit(std::string& out, char16_t unit) {
  const auto put = [&](unsigned bits) { out.push_back(static_cast<char>(static_cast<unsigned char>(bits))); };
  const unsigned value = unit;
  if (value < 0x80) {
    put(value);
  } else if (value < 0x800) {
    put(0xC0 | (value >> 6));
    put(0x80 | (value & 0x3F));
  } else {
    put(0xE0 | (value >> 12));
    put(0x80 | ((value >> 6) & 0x3F));
    put(0x80 | (value & 0x3F));
  }
}

// Surrogate halves that stand side by side in a text (from \u escapes, raw
// WTF-8 or a mix) are one character: the UTF-16 round trip joins them.
void JoinSurrogatePairs(std::string& text) {
  if (text.find('\xED') == std::string::npos) return;
  text = platform::Utf16ToUtf8(platform::Utf8ToUtf16(text));
}

// A strict single-pass parser over sanitized UTF-8. Containers are kept on an
// explicit stack, so the depth of the input never reaches the call stack.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  // The one value that fills the whole text, or nothing.
  std::optional<JsonNode> ParseDocument();

 private:
  struct Frame {
    JsonNode node;
    std::string name;  // objects: the name of the member whose value comes next
  };

  bool AtEnd() const { return at_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[at_]; }
  bool Consume(char c);
  void SkipWhitespace();

  std::optional<JsonNode> ParseScalar();
  std::optional<std::string> ParseString();
  std::optional<JsonNode> ParseNumber();
  bool ParseWord(std::string_view word);
  // A member's name and the ":" after it, into frame.name.
  bool ParseMemberName(Frame& frame);

  std::string_view text_;
  std::size_t at_ = 0;
};

bool Parser::Consume(char c) {
  if (AtEnd() || text_[at_] != c) return false;
  ++at_;
  return true;
}

void Parser::SkipWhitespace() {
  while (!AtEnd() && IsWhitespace(text_[at_])) ++at_;
}

std::optional<JsonNode> Parser::ParseDocument() {
  std::vector<Frame> open;
  SkipWhitespace();
  while (true) {
    // A value starts here.
    std::optional<JsonNode> done;
    const char c = Peek();
    if (c == '{' || c == '[') {
      if (open.size() == kMaxDepth) return std::nullopt;
      ++at_;
      const bool object = c == '{';
      open.push_back(Frame{JsonNode(object ? JsonKind::kObject : JsonKind::kArray), {}});
      SkipWhitespace();
      if (Consume(object ? '}' : ']')) {
        done = std::move(open.back().node);
        open.pop_back();
      } else {
        if (object && !ParseMemberName(open.back())) return std::nullopt;
        SkipWhitespace();
        continue;
      }
    } else {
      done = ParseScalar();
      if (!done) return std::nullopt;
    }

    // Hand the finished value to its container, closing containers as far as the text does.
    while (true) {
      if (open.empty()) {
        const JsonKind kind = done->Kind();
        if (kind == JsonKind::kObject || kind == JsonKind::kArray) SkipWhitespace();
        if (!AtEnd()) return std::nullopt;
        return done;
      }
      Frame& top = open.back();
      const bool object = top.node.Kind() == JsonKind::kObject;
      if (object) {
        top.node.AddMember(std::move(top.name), std::move(*done));
      } else {
        top.node.AddElement(std::move(*done));
      }
      SkipWhitespace();
      if (Consume(',')) {
        SkipWhitespace();
        if (object && !ParseMemberName(top)) return std::nullopt;
        SkipWhitespace();
        break;
      }
      if (!Consume(object ? '}' : ']')) return std::nullopt;
      done = std::move(top.node);
      open.pop_back();
    }
  }
}

bool Parser::ParseMemberName(Frame& frame) {
  std::optional<std::string> name = ParseString();
  if (!name) return false;
  SkipWhitespace();
  if (!Consume(':')) return false;
  frame.name = std::move(*name);
  return true;
}

std::optional<JsonNode> Parser::ParseScalar() {
  switch (Peek()) {
    case '"': {
      std::optional<std::string> text = ParseString();
      if (!text) return std::nullopt;
      return JsonNode(JsonKind::kString, std::move(*text));
    }
    case 't':
      if (ParseWord("true")) return JsonNode(JsonKind::kTrue);
      return std::nullopt;
    case 'f':
      if (ParseWord("false")) return JsonNode(JsonKind::kFalse);
      return std::nullopt;
    case 'n':
      if (ParseWord("null")) return JsonNode(JsonKind::kNull);
      return std::nullopt;
    default:
      return ParseNumber();
  }
}

bool Parser::ParseWord(std::string_view word) {
  if (text_.substr(at_, word.size()) != word) return false;
  at_ += word.size();
  return true;
}

std::optional<std::string> Parser::ParseString() {
  if (!Consume('"')) return std::nullopt;
  std::string out;
  while (true) {
    const std::size_t stop = text_.find_first_of("\"\\", at_);
    if (stop == std::string_view::npos) return std::nullopt;
    // Everything else, control characters included, stands for itself.
    out.append(text_.substr(at_, stop - at_));
    at_ = stop + 1;
    if (text_[stop] == '"') break;
    if (AtEnd()) return std::nullopt;
    const char escape = text_[at_++];
    switch (escape) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '/': out.push_back('/'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        if (text_.size() - at_ < 4) return std::nullopt;
        unsigned unit = 0;
        for (int k = 0; k < 4; ++k) {
          const int digit = HexValue(text_[at_++]);
          if (digit < 0) return std::nullopt;
          unit = (unit << 4) | static_cast<unsigned>(digit);
        }
        AppendCodeUnit(out, static_cast<char16_t>(unit));
        break;
      }
      default:
        return std::nullopt;
    }
  }
  JoinSurrogatePairs(out);
  return out;
}

std::optional<JsonNode> Parser::ParseNumber() {
  const std::size_t start = at_;
  Consume('-');
  if (!IsDigit(Peek())) return std::nullopt;
  if (!Consume('0')) {
    while (IsDigit(Peek())) ++at_;
  }
  if (Consume('.')) {
    if (!IsDigit(Peek())) return std::nullopt;
    while (IsDigit(Peek())) ++at_;
  }
  if (Peek() == 'e' || Peek() == 'E') {
    ++at_;
    if (!Consume('+')) Consume('-');
    if (!IsDigit(Peek())) return std::nullopt;
    while (IsDigit(Peek())) ++at_;
  }
  return JsonNode(JsonKind::kNumber, std::string(text_.substr(start, at_ - start)));
}

// `characters` as a whole decimal of type T: sign and digits only, in range.
template <typename T>
std::optional<T> ReadWhole(std::string_view characters) {
  T value{};
  const char* end = characters.data() + characters.size();
  const auto [stop, error] = std::from_chars(characters.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

// Whether a number that a double cannot hold is too small rather than too
// large: the decimal exponent of its first significant digit is negative.
bool IsTooSmall(std::string_view characters) {
  std::size_t at = characters.starts_with('-') ? 1 : 0;
  long long integer_digits = 0;
  long long first_significant = -1;  // index among all mantissa digits
  long long index = 0;
  bool in_fraction = false;
  for (; at < characters.size(); ++at) {
    const char c = characters[at];
    if (c == '.') {
      in_fraction = true;
      continue;
    }
    if (!IsDigit(c)) break;
    if (!in_fraction) ++integer_digits;
    if (c != '0' && first_significant < 0) first_significant = index;
    ++index;
  }
  long long exponent = 0;
  if (at < characters.size()) {  // e or E
    ++at;
    const bool negative = at < characters.size() && characters[at] == '-';
    if (at < characters.size() && (characters[at] == '-' || characters[at] == '+')) ++at;
    constexpr long long kSaturated = 1'000'000'000;  // far beyond any double, far from overflow
    for (; at < characters.size(); ++at) {
      exponent = std::min(kSaturated, exponent * 10 + (characters[at] - '0'));
    }
    if (negative) exponent = -exponent;
  }
  return integer_digits - 1 - first_significant + exponent < 0;
}

std::optional<double> ReadDouble(std::string_view characters) {
  double value = 0;
  const char* end = characters.data() + characters.size();
  const auto [stop, error] = std::from_chars(characters.data(), end, value);
  if (stop != end) return std::nullopt;
  if (error == std::errc::result_out_of_range && IsTooSmall(characters)) {
    return characters.starts_with('-') ? -0.0 : 0.0;
  }
  if (error != std::errc()) return std::nullopt;
  return value;
}

// At most 15 significant digits; fixed notation for decimal exponents -5..14.
std::string FormatGeneral(double value, const std::string& separator) {
  if (value == 0) return "0";  // negative zero too
  char buffer[48];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 14);
  std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));  // -d.dddddddddddddde+XX
  const bool negative = text.starts_with('-');
  if (negative) text.remove_prefix(1);
  const std::size_t e = text.find('e');
  std::string digits(1, text[0]);
  digits.append(text.substr(2, e - 2));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string_view exponent_text = text.substr(e + 1);
  if (exponent_text.starts_with('+')) exponent_text.remove_prefix(1);
  const int exponent = ReadWhole<int>(exponent_text).value_or(0);

  std::string out = negative ? "-" : "";
  if (exponent >= -5 && exponent < 15) {
    if (exponent >= 0) {
      const std::size_t integer_length = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= integer_length) {
        out += digits;
        out.append(integer_length - digits.size(), '0');
      } else {
        out += digits.substr(0, integer_length);
        out += separator;
        out += digits.substr(integer_length);
      }
    } else {
      out += "0";
      out += separator;
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    }
  } else {
    out += digits[0];
    if (digits.size() > 1) {
      out += separator;
      out += digits.substr(1);
    }
    out += "E";
    out += std::to_string(exponent);
  }
  return out;
}

// The member's value as a whole number of type T, or `fallback`.
template <typename T>
T GetWhole(const JsonNode* node, std::string_view name, T fallback) {
  const JsonNode* member = JsonFindMember(node, name);
  if (member == nullptr || member->Kind() != JsonKind::kNumber) return fallback;
  return ReadWhole<T>(member->Text()).value_or(fallback);
}

}  // namespace

JsonNode::JsonNode(JsonKind kind, std::string text)
    : kind_(kind),
      text_(kind == JsonKind::kString || kind == JsonKind::kNumber ? std::move(text) : std::string()) {}

void JsonNode::AddElement(JsonNode element) { elements_.push_back(std::move(element)); }

void JsonNode::AddMember(std::string name, JsonNode value) {
  members_.push_back(JsonMember{std::move(name), std::move(value)});
}

std::optional<JsonNode> ParseJsonObject(std::string_view text) {
  const std::string utf8 = platform::SanitizeUtf8(text);
  std::optional<JsonNode> root = Parser(utf8).ParseDocument();
  if (root && root->Kind() != JsonKind::kObject) throw JsonError(kInvalidTypecast);
  return root;
}

const JsonNode* JsonFindMember(const JsonNode* node, std::string_view name) {
  if (node == nullptr) return nullptr;
  for (const JsonMember& member : node->Members()) {
    if (member.name == name) return &member.value;
  }
  return nullptr;
}

std::string JsonGetStr(const JsonNode* node, std::string_view name, std::string_view fallback) {
  const JsonNode* member = JsonFindMember(node, name);
  std::string text;
  if (member != nullptr && member->Kind() == JsonKind::kString) {
    text = member->Text();
  } else if (member != nullptr && member->Kind() == JsonKind::kNumber) {
    text = JsonNumberDisplayText(member->Text()).value_or(std::string());
  }
  if (text.empty()) return std::string(fallback);
  return text;
}

std::int32_t JsonGetInt(const JsonNode* node, std::string_view name, std::int32_t fallback) {
  return GetWhole<std::int32_t>(node, name, fallback);
}

std::int64_t JsonGetInt64(const JsonNode* node, std::string_view name, std::int64_t fallback) {
  return GetWhole<std::int64_t>(node, name, fallback);
}

const JsonNode& JsonGetArray(const JsonNode* node, std::string_view name) {
  const JsonNode* member = JsonFindMember(node, name);
  if (member == nullptr) throw JsonError("Value '" + std::string(name) + "' not found");
  if (member->Kind() != JsonKind::kArray) throw JsonError(kInvalidTypecast);
  return *member;
}

std::string JsonNodeText(const JsonNode& node) {
  switch (node.Kind()) {
    case JsonKind::kString:
      return node.Text();
    case JsonKind::kNumber: {
      std::optional<std::string> text = JsonNumberDisplayText(node.Text());
      if (!text) throw JsonError("Number '" + node.Text() + "' cannot be converted");
      return std::move(*text);
    }
    case JsonKind::kTrue:
      return "true";
    case JsonKind::kFalse:
      return "false";
    case JsonKind::kNull:
      return "null";
    case JsonKind::kObject:
    case JsonKind::kArray:
      break;
  }
  return {};
}

std::optional<std::string> JsonNumberDisplayText(std::string_view characters) {
  if (characters.size() > 11 && characters.find('.') == std::string_view::npos) {
    const std::optional<std::int64_t> whole = ReadWhole<std::int64_t>(characters);
    if (!whole) return std::nullopt;
    return std::to_string(*whole);
  }
  const std::optional<double> value = ReadDouble(characters);
  if (!value) return std::nullopt;
  return FormatGeneral(*value, platform::LocaleDecimalSeparator());
}

}  // namespace chimewell::channel
