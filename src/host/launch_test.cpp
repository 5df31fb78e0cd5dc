#include "host/launch.h"

#include <gtest/gtest.h>

namespace chimewell::host {
namespace {

TEST(LaunchField, SplitsTheFirstArgumentAtEveryBar) {
  struct Case {
    std::vector<std::string> arguments;
    std::string user, window;
  };
  const Case cases[] = {
      {{"chimewell"}, "", ""},                        // no argument
      {{"chimewell", ""}, "", ""},
      {{"chimewell", "u1|123"}, "u1", "123"},
      {{"chimewell", "u1"}, "u1", ""},                // no bar: no window field
      {{"chimewell", "u1|"}, "u1", ""},               // bar at the end: empty field
      {{"chimewell", "|123"}, "", "123"},             // bar first: empty user id
      {{"chimewell", "u1||123"}, "u1", ""},           // empty field in between
      {{"chimewell", "u1|123|more|x", "y"}, "u1", "123"},  // the rest is ignored
      {{"chimewell", " my user |7"}, " my user ", "7"},    // verbatim, blanks kept
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.size() > 1 ? c.arguments[1] : "(none)");
    EXPECT_EQ(LaunchField(c.arguments, 0), c.user);
    EXPECT_EQ(LaunchField(c.arguments, 1), c.window);
  }
  EXPECT_EQ(LaunchField({"p", "a|b|c"}, 2), "c");
  EXPECT_EQ(LaunchField({"p", "a|b|c"}, 3), "");
}

TEST(WindowHandleFromText, ConvertsLikeTheLauncherWrites) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> value;
    platform::WindowHandle handle;
  };
  const Case cases[] = {
      {"123", 123, 123},
      {"  123", 123, 123},            // leading blanks skipped
      {"+123", 123, 123},
      {"-1", -1, 0xFFFFFFFF},         // two's complement, low 32 bits
      {"$1A2b", 0x1A2B, 0x1A2B},
      {"x10", 16, 16},
      {"X10", 16, 16},
      {"0x10", 16, 16},
      {"0X10", 16, 16},
      {"-$10", -16, 0xFFFFFFF0},
      {"4294967297", 4294967297, 1},  // only the low 32 bits remain
      {"9223372036854775807", INT64_MAX, 0xFFFFFFFF},
      {"-9223372036854775808", INT64_MIN, 0},
      {"$7FFFFFFFFFFFFFFF", INT64_MAX, 0xFFFFFFFF},
      {"9223372036854775808", std::nullopt, 0},  // out of range
      {"$8000000000000000", std::nullopt, 0},
      {"0", 0, 0},
      {"", std::nullopt, 0},
      {"   ", std::nullopt, 0},
      {"-", std::nullopt, 0},
      {"0x", std::nullopt, 0},
      {"$", std::nullopt, 0},
      {"12ab", std::nullopt, 0},      // letters after decimal digits
      {"123 ", std::nullopt, 0},      // trailing blank
      {"\t123", std::nullopt, 0},     // only blanks are skipped
      {"1A", std::nullopt, 0},        // hex digits need a prefix
      {"0x-1", std::nullopt, 0},
      {"++1", std::nullopt, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    EXPECT_EQ(ParseLaunchInteger(c.text), c.value);
    EXPECT_EQ(WindowHandleFromText(c.text), c.handle);
  }
}

}  // namespace
}  // namespace chimewell::host
