#include "platform/utf.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace chimewell::platform {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST(SanitizeUtf8, KeepsValidTextAndReplacesEachInvalidByte) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"empty", "", ""},
      {"ascii", "abc", "abc"},
      {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"encoded high surrogate kept", "a\xED\xA0\x80z", "a\xED\xA0\x80z"},
      {"encoded low surrogate kept", "\xED\xBF\xBF", "\xED\xBF\xBF"},
      {"overlong two bytes", "\xC0\x80", Repeat(kFffd, 2)},
      {"overlong two bytes, C1", "\xC1\xBF", Repeat(kFffd, 2)},
      {"overlong three bytes", "\xE0\x80\x80", Repeat(kFffd, 3)},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF", Repeat(kFffd, 4)},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", Repeat(kFffd, 4)},
      {"lead F5", "\xF5\x80\x80\x80", Repeat(kFffd, 4)},
      {"truncated before ascii", "\xE2\x82" "A", Repeat(kFffd, 2) + "A"},
      {"truncated at end", "x\xF0\x9F\x98", "x" + Repeat(kFffd, 3)},
      {"lone continuation", "a\x80" "b", "a" + kFffd + "b"},
      {"FE and FF", "\xFE\xFF", Repeat(kFffd, 2)},
      {"valid after invalid", "\xFF\xC3\xA9", kFffd + "\xC3\xA9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SanitizeUtf8(c.input), c.expected) << c.name;
  }
}

TEST(StrictUtf8, ReplacesEncodedSurrogatesToo) {
  EXPECT_EQ(StrictUtf8("a\xED\xA0\x80" "b"), "a\xEF\xBF\xBD" "b");      // lone high surrogate
  EXPECT_EQ(StrictUtf8("\xED\xB0\x80"), "\xEF\xBF\xBD");               // lone low surrogate
  EXPECT_EQ(StrictUtf8("\xED\x9F\xBF"), "\xED\x9F\xBF");               // U+D7FF is a character
  EXPECT_EQ(StrictUtf8("\xF0\x9F\x98\x80\xFF"), "\xF0\x9F\x98\x80\xEF\xBF\xBD");
}

TEST(Utf16Length, CountsUnitsPerCharacterAndOnePerInvalidByte) {
  struct Case {
    std::string input;
    std::size_t expected;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 3},
      {"\xC3\xA9\xE2\x82\xAC", 2},       // é€
      {"\xF0\x9F\x98\x80", 2},           // one character above U+FFFF
      {"\xED\xA0\x80", 1},               // lone surrogate
      {"\xFF", 1},
      {"\xE2\x82", 2},                   // truncated: two invalid bytes
      {"a\xF0\x9F\x98\x80" "b", 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf16Length(c.input), c.expected) << c.input;
  }
}

TEST(Utf8OffsetOfUtf16Units, NeverSplitsACharacter) {
  const std::string text = "a\xF0\x9F\x98\x80\xC3\xA9z";  // a, U+1F600, é, z: units 1,2,1,1
  struct Case {
    std::size_t units;
    std::size_t expected;
  };
  const Case cases[] = {
      {0, 0},
      {1, 1},
      {2, 1},  // the pair would straddle: it stays after the boundary
      {3, 5},
      {4, 7},
      {5, 8},
      {100, 8},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8OffsetOfUtf16Units(text, c.units), c.expected) << c.units;
  }
  EXPECT_EQ(Utf8OffsetOfUtf16Units("\xFF\xFF", 1), 1u);
}

TEST(Utf8Utf16, ConvertsBothWaysIncludingLoneSurrogates) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string utf16;
  };
  const Case cases[] = {
      {"empty", "", u""},
      {"bmp", "a\xC3\xA9\xE2\x82\xAC", u"a\u00E9\u20AC"},
      {"pair", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
      {"lone high", "\xED\xA0\x80", u"\xD800"},
      {"lone low", "\xED\xB0\x80", u"\xDC00"},
      {"high then letter", "\xED\xAF\xBF" "a", u"\xDBFF" u"a"},
      {"low before high", "\xED\xB0\x80\xED\xA0\x80", u"\xDC00\xD800"},
      {"high at end after pair", "\xF4\x8F\xBF\xBF\xED\xA0\x80", u"\xDBFF\xDFFF\xD800"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.name;
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << c.name;
  }
}

TEST(Utf8Utf16, InvalidBytesAndSplitPairsConvertOneWay) {
  EXPECT_EQ(Utf8ToUtf16("a\xFF\xE2\x82"), u"a\uFFFD\uFFFD\uFFFD");
  // Two halves encoded separately meet as a valid pair in UTF-16 and come
  // back as one four-byte character.
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\xBD\xED\xB8\x80"), u"\xD83D\xDE00");
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("\xED\xA0\xBD\xED\xB8\x80")), "\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace chimewell::platform
