#include "platform/win32/launch_command_line.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/command_line.h"

namespace chimewell::platform::win32 {
namespace {

using Arguments = std::vector<std::string>;

TEST(JoinLaunchCommandLine, IsReadBackBySplitCommandLine) {
  struct Case {
    Arguments arguments;
    std::string line;
  };
  const Case cases[] = {
      {{"C:\\app.exe"}, "C:\\app.exe"},
      {{"C:\\Program Files\\app.exe", "u1|123"}, "\"C:\\Program Files\\app.exe\" u1|123"},
      {{"app", "my user|  +5|x"}, "app \"my user|  +5|x\""},
      {{"app", "u1|5 "}, "app \"u1|5 \""},
      {{"app", "a\tb", "a\nb",
        "a\x01"
        "b"},
       "app \"a\tb\" \"a\nb\" \"a\x01"
       "b\""},
      // Backslashes and characters above 127 are ordinary.
      {{"app", "a\\", "\\\\srv\\x", "\xE6\x8F\x90\xE9\x86\x92"},
       "app a\\ \\\\srv\\x \xE6\x8F\x90\xE9\x86\x92"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(JoinLaunchCommandLine(c.arguments), c.line);
    EXPECT_EQ(SplitCommandLine(JoinLaunchCommandLine(c.arguments)), c.arguments);
  }
}

TEST(JoinLaunchCommandLine, EmptyArgumentIsQuotedAndDroppedByTheReader) {
  const std::string line = JoinLaunchCommandLine({"app", "", "x"});
  EXPECT_EQ(line, "app \"\" x");
  EXPECT_EQ(SplitCommandLine(line), (Arguments{"app", "x"}));
}

TEST(JoinLaunchCommandLine, RefusesWhatTheRuleCanNotCarry) {
  for (const std::string& bad : {std::string("a\"b"), std::string("\""), std::string("a\0b", 3)}) {
    EXPECT_THROW(JoinLaunchCommandLine({"app", bad}), std::invalid_argument);
  }
}

}  // namespace
}  // namespace chimewell::platform::win32
