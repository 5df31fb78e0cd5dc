#include "today/today_document.h"

#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace chimewell::today {
namespace {

std::string Element(const std::string& item) { return "{\"ItemID\":\"" + item + "\"}"; }

TEST(TodayDocumentBuilder, GroupsAdjacentRowsByCalendar) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> rows;  // calendar, item
    std::vector<std::string> groups;                        // group ID per row
    std::string document;
  };
  const Case cases[] = {
      {"no rows", {}, {}, "{}"},
      {"A, B, A gives three members",
       {{"A", "1"}, {"B", "2"}, {"A", "3"}},
       {"A", "B", "A"},
       R"({"Calendar_A":{"ID":"A","Reminds":[{"ItemID":"1"}]},"Calendar_B":{"ID":"B","Reminds":[{"ItemID":"2"}]},"Calendar_A":{"ID":"A","Reminds":[{"ItemID":"3"}]}})"},
      {"Work then work: one member under the first spelling",
       {{"Work", "1"}, {"work", "2"}},
       {"Work", "Work"},
       R"({"Calendar_Work":{"ID":"Work","Reminds":[{"ItemID":"1"},{"ItemID":"2"}]}})"},
      {"empty before A joins A",
       {{"", "1"}, {"A", "2"}},
       {"", "A"},
       R"({"Calendar_A":{"ID":"A","Reminds":[{"ItemID":"1"},{"ItemID":"2"}]}})"},
      {"empty after A is written nowhere",
       {{"A", "1"}, {"", "2"}},
       {"A", ""},
       R"({"Calendar_A":{"ID":"A","Reminds":[{"ItemID":"1"}]}})"},
      {"empty between A and B joins B",
       {{"A", "1"}, {"", "2"}, {"B", "3"}},
       {"A", "", "B"},
       R"({"Calendar_A":{"ID":"A","Reminds":[{"ItemID":"1"}]},"Calendar_B":{"ID":"B","Reminds":[{"ItemID":"2"},{"ItemID":"3"}]}})"},
      {"only empty IDs", {{"", "1"}, {"", "2"}}, {"", ""}, "{}"},
      {"letters only fold in ASCII", {{"\xC3\xA9", "1"}, {"\xC3\x89", "2"}}, {"\xC3\xA9", "\xC3\x89"},
       "{\"Calendar_\xC3\xA9\":{\"ID\":\"\xC3\xA9\",\"Reminds\":[{\"ItemID\":\"1\"}]},"
       "\"Calendar_\xC3\x89\":{\"ID\":\"\xC3\x89\",\"Reminds\":[{\"ItemID\":\"2\"}]}}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TodayDocumentBuilder builder;
    std::vector<std::string> groups;
    for (const auto& [calendar, item] : c.rows) {
      groups.push_back(builder.BeginRow(calendar));
      builder.AppendElement(Element(item));
    }
    EXPECT_EQ(groups, c.groups);
    EXPECT_EQ(builder.Finish(), c.document);
  }
}

TEST(AppendJsonString, EscapesExactlyEightCharacters) {
  std::string out;
  AppendJsonString(out, "a/b\tc\x01" "d\"e\\f\b\f\n\r\x1f\x0b\xC3\xA9");
  EXPECT_EQ(out, "\"a\\/b\\tc\x01" "d\\\"e\\\\f\\b\\f\\n\\r\x1f\x0b\xC3\xA9\"");
  std::string with_zero;
  AppendJsonString(with_zero, std::string_view("x\0y", 3));
  EXPECT_EQ(with_zero, std::string("\"x\0y\"", 5));
}

// Plain runs are copied whole between escapes: the runs' edges are where a
// copy could take a character too many or too few.
TEST(AppendJsonString, KeepsRunsWholeAroundEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("")"},
      {"/", R"("\/")"},
      {"/ab", R"("\/ab")"},
      {"ab/", R"("ab\/")"},
      {"a//b", R"("a\/\/b")"},
      {"\"\"", R"("\"\"")"},
      {"Work-7f3a", R"("Work-7f3a")"},
  };
  for (const auto& [text, json] : cases) {
    std::string out = "{";  // appends, never replaces
    AppendJsonString(out, text);
    EXPECT_EQ(out, "{" + json) << text;
  }
}

}  // namespace
}  // namespace chimewell::today
