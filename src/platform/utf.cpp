#include "platform/utf.h"

namespace chimewell::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
  char32_t code_point;
  std::size_t length;  // bytes consumed; 1 for an invalid byte
  bool valid;
};

// Decodes the character starting at `at` (which must be inside `bytes`).
// Encoded surrogates (ED A0..BF xx) are accepted: they carry lone UTF-16
// halves through the process. Anything else that is not shortest-form UTF-8
// up to U+10FFFF is one invalid byte, so decoding resumes at the next byte.
Decoded DecodeAt(std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
  const Decoded invalid{kReplacement, 1, false};

  const unsigned char lead = byte(at);
  if (lead < 0x80) return {lead, 1, true};

  std::size_t length = 0;
  char32_t code_point = 0;
  // Bounds of the second byte; they rule out overlongs and values past U+10FFFF.
  unsigned char second_low = 0x80;
  unsigned char second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = static_cast<char32_t>(lead & 0x1Fu);
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = static_cast<char32_t>(lead & 0x0Fu);
    if (lead == 0xE0) second_low = 0xA0;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = static_cast<char32_t>(lead & 0x07u);
    if (lead == 0xF0) second_low = 0x90;
    if (lead == 0xF4) second_high = 0x8F;
  } else {
    return invalid;
  }

  for (std::size_t k = 1; k < length; ++k) {
    if (at + k >= bytes.size()) return invalid;
    const unsigned char next = byte(at + k);
    const unsigned char low = k == 1 ? second_low : static_cast<unsigned char>(0x80);
    const unsigned char high = k == 1 ? second_high : static_cast<unsigned char>(0xBF);
    if (next < low || next > high) return invalid;
    code_point = (code_point << 6) | static_cast<char32_t>(next & 0x3Fu);
  }
  return {code_point, length, true};
}

void AppendUtf8(std::string& out, char32_t code_point) {
  const auto put = [&](char32_t bits) { out.push_back(static_cast<char>(static_cast<unsigned char>(bits))); };
  if (code_point < 0x80) {
    put(code_point);
  } else if (code_point < 0x800) {
    put(0xC0 | (code_point >> 6));
    put(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {  // includes lone surrogates (WTF-8)
    put(0xE0 | (code_point >> 12));
    put(0x80 | ((code_point >> 6) & 0x3F));
    put(0x80 | (code_point & 0x3F));
  } else {
    put(0xF0 | (code_point >> 18));
    put(0x80 | ((code_point >> 12) & 0x3F));
    put(0x80 | ((code_point >> 6) & 0x3F));
    put(0x80 | (code_point & 0x3F));
  }
}

constexpr std::size_t Utf16Units(char32_t code_point) { return code_point >= 0x10000 ? 2 : 1; }

constexpr bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string SanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const Decoded decoded = DecodeAt(bytes, at);
    if (decoded.valid) {
      out.append(bytes.substr(at, decoded.length));
    } else {
      AppendUtf8(out, kReplacement);
    }
    at += decoded.length;
  }
  return out;
}

std::size_t Utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  for (std::size_t at = 0; at < utf8.size();) {
    const Decoded decoded = DecodeAt(utf8, at);
    units += Utf16Units(decoded.code_point);
    at += decoded.length;
  }
  return units;
}

std::size_t Utf8OffsetOfUtf16Units(std::string_view utf8, std::size_t units) {
  std::size_t counted = 0;
  std::size_t at = 0;
  while (at < utf8.size()) {
    const Decoded decoded = DecodeAt(utf8, at);
    counted += Utf16Units(decoded.code_point);
    if (counted > units) break;
    at += decoded.length;
  }
  return at;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t at = 0; at < utf8.size();) {
    const Decoded decoded = DecodeAt(utf8, at);
    const char32_t code_point = decoded.code_point;
    if (code_point >= 0x10000) {
      const char32_t offset = code_point - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code_point));
    }
    at += decoded.length;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t at = 0; at < utf16.size(); ++at) {
    const char16_t unit = utf16[at];
    if (IsHighSurrogate(unit) && at + 1 < utf16.size() && IsLowSurrogate(utf16[at + 1])) {
      const char16_t low = utf16[++at];
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00));
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

}  // namespace chimewell::platform

namespace chimewell::platform {

std::string StrictUtf8(std::string_view bytes) {
  std::string text = SanitizeUtf8(bytes);
  // After sanitizing, ED A0..BF starts an encoded surrogate and nothing else.
  std::string strict;
  strict.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0xED && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0xA0) {
      strict += "\xEF\xBF\xBD";
      i += 2;
    } else {
      strict += text[i];
    }
  }
  return strict;
}

}  // namespace chimewell::platform

namespace chimewell::platform {

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace chimewell::platform
