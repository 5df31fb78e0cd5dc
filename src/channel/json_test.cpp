#include "channel/json.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace chimewell::channel {
namespace {

using namespace std::string_literals;

const std::string kFffd = "\xEF\xBF\xBD";

std::string Repeat(std::string_view text, std::size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

// `depth` nested arrays, the innermost holding `inner`.
std::string NestedArrays(std::size_t depth, std::string_view inner = "") {
  return Repeat("[", depth) + std::string(inner) + Repeat("]", depth);
}

// The object the text must parse to; an empty object (and a failure) otherwise.
JsonNode ParseOk(const std::string& text) {
  std::optional<JsonNode> document = ParseJsonObject(text);
  if (!document) {
    ADD_FAILURE() << "does not parse: " << text.substr(0, 80);
    return JsonNode(JsonKind::kObject);
  }
  return std::move(*document);
}

TEST(ParseJsonObject, ValueGrammar) {
  struct Case {
    std::string value;  // placed as the value of a member
    bool parses;
  };
  const Case cases[] = {
      // numbers
      {"0", true}, {"-0", true}, {"12", true}, {"-12", true}, {"3.50", true}, {"0.5", true},
      {"1e3", true}, {"1E+2", true}, {"1e-2", true}, {"1e05", true}, {"-0.0e0", true},
      {"01", false}, {"-01", false}, {"00", false}, {"-", false}, {"+1", false}, {"1.", false},
      {".5", false}, {"-.5", false}, {"1.e3", false}, {"1e", false}, {"1E+", false}, {"1e2.5", false},
      {"- 1", false}, {"0x10", false}, {"NaN", false}, {"Infinity", false}, {"1_000", false},
      // words, lower case only
      {"true", true}, {"false", true}, {"null", true},
      {"True", false}, {"FALSE", false}, {"Null", false}, {"tru", false}, {"nulll", false},
      // strings: escapes
      {R"("\" \\ \/ \b \f \n \r \t")", true}, {R"("\u00e9\u00E9\uABCD\uabcd")", true},
      {R"("\x41")", false}, {R"("\'")", false}, {R"("\U0041")", false}, {R"("\u12")", false},
      {R"("\u12G4")", false}, {R"("\u")", false}, {R"("\)", false}, {R"("abc)", false},
      {"'single'", false},
      // strings: raw control characters stand for themselves
      {"\"\x01\t\n\r\x1F\"", true}, {"\"a\0b\""s, true},
      // containers
      {"[]", true}, {"[ 1 , [ ] , { } ]", true}, {R"({"a":{"b":[true]}})", true},
      {"[1,]", false}, {"[,1]", false}, {"[1 2]", false}, {"[1", false}, {"[1}", false},
      {R"({"a":1,})", false}, {"{,}", false}, {R"({"a"})", false}, {R"({"a" 1})", false},
      {"{a:1}", false}, {"{'a':1}", false}, {R"({"a":1 "b":2})", false}, {R"({"a":[1})", false},
      {R"({1:2})", false},
      // nothing where a value belongs
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseJsonObject("{\"v\":" + c.value + "}").has_value(), c.parses) << c.value;
  }
}

TEST(ParseJsonObject, WhitespaceAndTheEndOfTheText) {
  struct Case {
    std::string text;
    bool parses;
  };
  const Case cases[] = {
      {"{}", true},
      {" \t\r\n{ \t\r\n\"a\" \t\r\n: \t\r\n1 \t\r\n, \"b\":2 \t\r\n} \t\r\n", true},
      {"{}\r\n", true},
      // only tab, line feed, carriage return and space are whitespace
      {"\f{}", false}, {"{}\v", false}, {"{\"a\":\f1}", false}, {"\xC2\xA0{}", false},
      {"\xEF\xBB\xBF{}", false},  // a byte-order mark is a character like any other
      // the value must end exactly at the end
      {"", false}, {"   ", false}, {"{}x", false}, {"{}{}", false}, {"{}}", false},
      {"{}\0"s, false}, {"{}\r\n\0"s, false}, {"\0{}"s, false}, {"{}\xFF", false},
      {"{\"a\":1}\xC3", false},
      // invalid UTF-8 outside a string is never whitespace or punctuation
      {"{\xFF}", false}, {"{\"a\":\xC0\xB1}", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseJsonObject(c.text).has_value(), c.parses) << testing::PrintToString(c.text);
  }
}

TEST(ParseJsonObject, AWellFormedValueThatIsNoObjectRaisesInvalidClassTypecast) {
  for (const std::string text : {"[1]", "[]", " [ ] \r\n", "5", "-1.5e3", "\"a\"", "true", "null"}) {
    try {
      ParseJsonObject(text);
      ADD_FAILURE() << "no failure for " << text;
    } catch (const JsonError& error) {
      EXPECT_STREQ(error.what(), "Invalid class typecast") << text;
    }
  }
  // Malformed non-objects give nothing instead. Only a closing brace or bracket
  // is followed by whitespace, so a lone scalar followed by a space is left over.
  for (const std::string text : {"[1,]", "5 ", "\"a\"\r\n", "tru", "["}) {
    EXPECT_FALSE(ParseJsonObject(text).has_value()) << text;
  }
}

TEST(ParseJsonObject, DecodesStrings) {
  struct Case {
    const char* name;
    std::string literal;   // the JSON string, quotes included
    std::string expected;  // UTF-8 (lone surrogates as WTF-8)
  };
  const Case cases[] = {
      {"plain", R"("abc")", "abc"},
      {"empty", R"("")", ""},
      {"short escapes", R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {"\\u either case", R"("\u0041\u00e9\u00E9\u20AC\u20ac")", "A\xC3\xA9\xC3\xA9\xE2\x82\xAC\xE2\x82\xAC"},
      {"\\u0000", R"("a\u0000b")", "a\0b"s},
      {"surrogate pair", R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
      {"surrogate pair, lower case", R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {"lone high surrogate", R"("\uD800x")", "\xED\xA0\x80x"},
      {"lone low surrogate", R"("\uDC00")", "\xED\xB0\x80"},
      {"halves in the wrong order", R"("\uDE00\uD83D")", "\xED\xB8\x80\xED\xA0\xBD"},
      {"high then an escaped non-surrogate", R"("\uD83D\u0041")", "\xED\xA0\xBD" "A"},
      {"escaped high then raw low half", "\"\\uD83D\xED\xB8\x80\"", "\xF0\x9F\x98\x80"},
      {"raw characters kept", "\"\xC3\xA9\xF0\x9F\x98\x80\"", "\xC3\xA9\xF0\x9F\x98\x80"},
      {"raw control characters", "\"\x01\t\n\x1F\"", "\x01\t\n\x1F"},
      {"raw zero character", "\"a\0b\""s, "a\0b"s},
      {"invalid byte becomes U+FFFD", "\"a\xFF" "b\"", "a" + kFffd + "b"},
      {"truncated sequence, byte by byte", "\"\xE2\x82\"", kFffd + kFffd},
      {"overlong slash is no slash", "\"\xC0\xAF\"", kFffd + kFffd},
  };
  for (const Case& c : cases) {
    const JsonNode document = ParseOk("{\"v\":" + c.literal + "}");
    const JsonNode* value = JsonFindMember(&document, "v");
    ASSERT_NE(value, nullptr) << c.name;
    EXPECT_EQ(value->Kind(), JsonKind::kString) << c.name;
    EXPECT_EQ(value->Text(), c.expected) << c.name;
  }
  // Names are decoded the same way and looked up by their decoded text.
  const JsonNode document = ParseOk(R"({"It\u0065mID":"x","\u00e9":"y"})");
  EXPECT_EQ(JsonGetStr(&document, "ItemID", ""), "x");
  EXPECT_EQ(JsonGetStr(&document, "\xC3\xA9", ""), "y");
}

TEST(ParseJsonObject, KeepsTheTreeInOrderAndNumbersAsWritten) {
  const JsonNode document = ParseOk(R"({"a":-12,"b":[3.50,1E+2,"x",true,false,null,{}],"a":"dup","A":1e3})");
  const auto& members = document.Members();
  ASSERT_EQ(members.size(), 4u);
  EXPECT_EQ(members[0].name, "a");
  EXPECT_EQ(members[0].value.Kind(), JsonKind::kNumber);
  EXPECT_EQ(members[0].value.Text(), "-12");
  EXPECT_EQ(members[2].name, "a");
  EXPECT_EQ(members[2].value.Text(), "dup");
  EXPECT_EQ(members[3].name, "A");
  EXPECT_EQ(members[3].value.Text(), "1e3");

  const auto& elements = members[1].value.Elements();
  ASSERT_EQ(elements.size(), 7u);
  const JsonKind kinds[] = {JsonKind::kNumber, JsonKind::kNumber, JsonKind::kString, JsonKind::kTrue,
                            JsonKind::kFalse,  JsonKind::kNull,   JsonKind::kObject};
  for (std::size_t i = 0; i < elements.size(); ++i) EXPECT_EQ(elements[i].Kind(), kinds[i]) << i;
  EXPECT_EQ(elements[0].Text(), "3.50");
  EXPECT_EQ(elements[1].Text(), "1E+2");
}

TEST(ParseJsonObject, NestsAtMost512Deep) {
  // The outer object is the first level.
  EXPECT_TRUE(ParseJsonObject("{\"a\":" + NestedArrays(511) + "}").has_value());
  EXPECT_FALSE(ParseJsonObject("{\"a\":" + NestedArrays(512) + "}").has_value());
  EXPECT_TRUE(ParseJsonObject(Repeat("{\"a\":", 511) + "{}" + Repeat("}", 511)).has_value());
  EXPECT_FALSE(ParseJsonObject(Repeat("{\"a\":", 512) + "{}" + Repeat("}", 512)).has_value());
  // Depth is given back on closing: two deep siblings are fine.
  EXPECT_TRUE(ParseJsonObject("{\"a\":" + NestedArrays(511, "1") + ",\"b\":" + NestedArrays(511) + "}").has_value());

  // The depth error wins over the kind of the root: 512 arrays raise, 513 give nothing.
  EXPECT_THROW(ParseJsonObject(NestedArrays(512)), JsonError);
  EXPECT_FALSE(ParseJsonObject(NestedArrays(513)).has_value());
}

TEST(ParseJsonObject, MegabyteInputsNeitherOverflowTheStackNorFail) {
  constexpr std::size_t kMegabyte = 1 << 20;
  EXPECT_FALSE(ParseJsonObject(Repeat("[", kMegabyte)).has_value());
  EXPECT_FALSE(ParseJsonObject(NestedArrays(kMegabyte / 2)).has_value());
  EXPECT_FALSE(ParseJsonObject(Repeat("{\"a\":", kMegabyte / 5)).has_value());

  const std::size_t count = kMegabyte / 2;
  const JsonNode document = ParseOk("{\"Items\":[" + Repeat("0,", count - 1) + "7]}");
  const JsonNode& items = JsonGetArray(&document, "Items");
  ASSERT_EQ(items.Elements().size(), count);
  EXPECT_EQ(items.Elements().back().Text(), "7");

  const std::string long_text(kMegabyte, 'x');
  const JsonNode long_string = ParseOk("{\"s\":\"" + long_text + "\"}");
  EXPECT_EQ(JsonGetStr(&long_string, "s", ""), long_text);
}

TEST(JsonGetters, WhatEachKindOfMemberGives) {
  constexpr std::int32_t kInt = -7;
  constexpr std::int64_t kInt64 = -77;
  struct Case {
    std::string value;  // the member's JSON value
    std::string str;
    std::int32_t int32;
    std::int64_t int64;
  };
  const Case cases[] = {
      {"1", "1", 1, 1},
      {"-12", "-12", -12, -12},
      {"-0", "0", 0, 0},
      {"1.0", "1", kInt, kInt64},
      {"3.50", "3.5", kInt, kInt64},
      {"1e3", "1000", kInt, kInt64},
      {"\"1\"", "1", kInt, kInt64},
      {"\"42\"", "42", kInt, kInt64},
      {"\"text\"", "text", kInt, kInt64},
      {"\"\"", "D", kInt, kInt64},
      {"null", "D", kInt, kInt64},
      {"true", "D", kInt, kInt64},
      {"false", "D", kInt, kInt64},
      {"{}", "D", kInt, kInt64},
      {"[1]", "D", kInt, kInt64},
      {"2147483647", "2147483647", 2147483647, 2147483647},
      {"-2147483648", "-2147483648", std::numeric_limits<std::int32_t>::min(), -2147483648LL},
      {"2147483648", "2147483648", kInt, 2147483648LL},
      {"-2147483649", "-2147483649", kInt, -2147483649LL},
      {"1700000000000", "1700000000000", kInt, 1700000000000LL},
      {"9223372036854775807", "9223372036854775807", kInt, std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", "-9223372036854775808", kInt, std::numeric_limits<std::int64_t>::min()},
      {"9223372036854775808", "D", kInt, kInt64},
      {"1234567890123456789012345", "D", kInt, kInt64},
      {"10000000000e1", "D", kInt, kInt64},  // long, no ".": read as a whole number, which it is not
      {"1e400", "D", kInt, kInt64},
  };
  for (const Case& c : cases) {
    const JsonNode document = ParseOk("{\"v\":" + c.value + "}");
    EXPECT_EQ(JsonGetStr(&document, "v", "D"), c.str) << c.value;
    EXPECT_EQ(JsonGetInt(&document, "v", kInt), c.int32) << c.value;
    EXPECT_EQ(JsonGetInt64(&document, "v", kInt64), c.int64) << c.value;
  }
}

TEST(JsonGetters, ReadTheFirstMemberWithExactlyTheName) {
  const JsonNode document = ParseOk(R"({"ItemID":"first","ItemID":"second","itemid":"lower","N":1,"N":2})");
  EXPECT_EQ(JsonGetStr(&document, "ItemID", "D"), "first");
  EXPECT_EQ(JsonGetStr(&document, "itemid", "D"), "lower");
  EXPECT_EQ(JsonGetStr(&document, "ITEMID", "D"), "D");
  EXPECT_EQ(JsonGetStr(&document, "ItemID ", "D"), "D");
  EXPECT_EQ(JsonGetInt(&document, "N", 0), 1);
  EXPECT_EQ(JsonGetInt64(&document, "n", 0), 0);

  // The first one counts even when it is unusable and a later one is not.
  const JsonNode unusable = ParseOk(R"({"N":null,"N":5,"S":true,"S":"x"})");
  EXPECT_EQ(JsonGetInt(&unusable, "N", -1), -1);
  EXPECT_EQ(JsonGetStr(&unusable, "S", "D"), "D");
}

TEST(JsonGetters, ANodeThatIsNoObjectHasNoMembers) {
  const JsonNode document = ParseOk(R"({"arr":[{"v":1}],"str":"{\"v\":1}","num":1})");
  const JsonNode* nodes[] = {nullptr, JsonFindMember(&document, "arr"), JsonFindMember(&document, "str"),
                             JsonFindMember(&document, "num")};
  for (const JsonNode* node : nodes) {
    EXPECT_EQ(JsonFindMember(node, "v"), nullptr);
    EXPECT_EQ(JsonGetStr(node, "v", "D"), "D");
    EXPECT_EQ(JsonGetInt(node, "v", 9), 9);
    EXPECT_EQ(JsonGetInt64(node, "v", 9), 9);
  }
}

TEST(JsonGetArray, GivesTheArrayOrRaises) {
  const JsonNode document =
      ParseOk(R"({"Items":["a",7],"Null":null,"Obj":{},"Str":"[1]","Num":1,"Dup":"x","Dup":[1],"items":[]})");
  const JsonNode& items = JsonGetArray(&document, "Items");
  EXPECT_EQ(&items, JsonFindMember(&document, "Items"));  // belongs to the document
  EXPECT_EQ(items.Elements().size(), 2u);

  struct Case {
    const JsonNode* node;
    std::string name;
    std::string message;
  };
  const JsonNode& array = items;
  const Case cases[] = {
      {&document, "Missing", "Value 'Missing' not found"},
      {&document, "ITEMS", "Value 'ITEMS' not found"},
      {nullptr, "Items", "Value 'Items' not found"},
      {&array, "Items", "Value 'Items' not found"},
      {&document, "Null", "Invalid class typecast"},
      {&document, "Obj", "Invalid class typecast"},
      {&document, "Str", "Invalid class typecast"},
      {&document, "Num", "Invalid class typecast"},
      {&document, "Dup", "Invalid class typecast"},  // the first Dup is a string
  };
  for (const Case& c : cases) {
    try {
      JsonGetArray(c.node, c.name);
      ADD_FAILURE() << "no failure for " << c.name;
    } catch (const JsonError& error) {
      EXPECT_EQ(error.what(), c.message) << c.name;
    }
  }
}

TEST(JsonNodeText, TextOfEachKindOfElement) {
  const JsonNode document =
      ParseOk(R"({"Items":["a","b'c","",7,2.50,-1e-7,true,false,null,[1],{"x":1},12345678901234]})");
  const std::string expected[] = {"a", "b'c", "", "7", "2.5", "-1E-7", "true", "false", "null", "", "",
                                  "12345678901234"};
  const auto& elements = JsonGetArray(&document, "Items").Elements();
  ASSERT_EQ(elements.size(), std::size(expected));
  for (std::size_t i = 0; i < elements.size(); ++i) EXPECT_EQ(JsonNodeText(elements[i]), expected[i]) << i;
}

TEST(JsonNodeText, ANumberThatDoesNotConvertRaises) {
  for (const std::string number : {"1e400", "-1e400", "99999999999999999999", "123456789012e1"}) {
    const JsonNode document = ParseOk("{\"Items\":[" + number + "]}");
    try {
      JsonNodeText(JsonGetArray(&document, "Items").Elements().at(0));
      ADD_FAILURE() << "no failure for " << number;
    } catch (const JsonError& error) {
      EXPECT_EQ(error.what(), "Number '" + number + "' cannot be converted");
    }
  }
}

TEST(JsonNumberDisplayText, GeneralFormWithFifteenDigits) {
  struct Case {
    std::string characters;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"5", "5"},
      {"2.50", "2.5"},
      {"1e3", "1000"},
      {"-0.0", "0"},
      {"0.1", "0.1"},
      {"99999999999", "99999999999"},        // every whole number of at most 11 characters is fixed
      {"-9999999999", "-9999999999"},
      {"100000000000", "100000000000"},      // 12 characters: a 64-bit integer
      {"100000000e1", "1000000000"},         // 11 characters: a double
      {"1000000000e1", std::nullopt},        // 12 characters without ".": no exponent allowed
      {"12345678901234.5", "12345678901234.5"},  // long, but with "." it is a double
      {"123456789.123456789", "123456789.123457"},
      {"3.14159265358979323846", "3.14159265358979"},
      {"9.9999999999999999", "10"},
      {"1e14", "100000000000000"},
      {"1e15", "1E15"},
      {"1.5e20", "1.5E20"},
      {"-1.25E+100", "-1.25E100"},
      {"0.00001", "0.00001"},
      {"0.000001", "1E-6"},
      {"1.5e-7", "1.5E-7"},
      {"1.7976931348623157e308", "1.79769313486232E308"},
      {"1e309", std::nullopt},
      {"1e-400", "0"},                        // too small for a double: the nearest value
      {"-1e-400", "0"},
      {"0." + Repeat("0", 400) + "1", "0"},
      {"1" + Repeat("0", 400) + ".5", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JsonNumberDisplayText(c.characters), c.expected) << c.characters;
  }
}

}  // namespace
}  // namespace chimewell::channel
