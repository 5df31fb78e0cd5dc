#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace chimewell::platform {
namespace {

using Arguments = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheLauncherRule) {
  struct Case {
    std::string line;
    Arguments expected;
  };
  const Case cases[] = {
      {"", {}},
      {" \t ", {}},
      {"prog", {"prog"}},
      {"  prog  a   b  ", {"prog", "a", "b"}},
      // Every code from 1 to 32 separates; DEL and bytes above 127 do not.
      {"prog\ta\nb\x01" "c\x1F" "d", {"prog", "a", "b", "c", "d"}},
      {"prog a\x7F \xC3\xA9t\xC3\xA9", {"prog", "a\x7F", "\xC3\xA9t\xC3\xA9"}},
      // Quotes keep separators inside and are dropped.
      {"prog \"a b\" c", {"prog", "a b", "c"}},
      {"prog \"a b\"c", {"prog", "a bc"}},
      {"prog x\"a b\"", {"prog", "xa b"}},
      {"prog \" \"", {"prog", " "}},
      {"\"C:\\Program Files\\app.exe\" -x", {"C:\\Program Files\\app.exe", "-x"}},
      // An unclosed quote runs to the end of the line.
      {"prog \"a b", {"prog", "a b"}},
      {"prog \"", {"prog", ""}},
      // No escape character: a backslash is an ordinary character.
      {"prog a\\\"b c\\\"", {"prog", "a\\b c\\"}},
      // "" inside an argument is an empty stretch.
      {"prog a\"\"b", {"prog", "ab"}},
      {"prog a\"\"", {"prog", "a"}},
      {"prog a\"\" b", {"prog", "a", "b"}},
      // "" where an argument would begin is skipped, then an argument may begin.
      {"prog \"\" x", {"prog", "x"}},
      {"prog \"\"x", {"prog", "x"}},
      {"prog \"\"", {"prog"}},
      {"prog \"\"\"\" x", {"prog", "x"}},
      {"prog \"\"\"a b\"", {"prog", "a b"}},
      {"\"\"prog a", {"prog", "a"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line), c.expected) << "line: [" << c.line << "]";
  }
}

TEST(JoinShellQuoted, QuotesAllButPlainWords) {
  struct Case {
    Arguments arguments;
    std::string expected;
  };
  const Case cases[] = {
      {{}, ""},
      {{"prog"}, "prog"},
      {{"prog", "-x", "a/b.txt"}, "prog -x a/b.txt"},
      {{"AZaz09_@%+=:,./-"}, "AZaz09_@%+=:,./-"},
      {{""}, "''"},
      {{"a", "", "b"}, "a '' b"},
      {{"a b"}, "'a b'"},
      {{"it's"}, "'it'\\''s'"},
      {{"'"}, "''\\'''"},
      {{"$HOME", "*", "~", "x;y", "a\"b", "a\\b"}, "'$HOME' '*' '~' 'x;y' 'a\"b' 'a\\b'"},
      {{"\xC3\xA9t\xC3\xA9"}, "'\xC3\xA9t\xC3\xA9'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JoinShellQuoted(c.arguments), c.expected);
  }
}

}  // namespace
}  // namespace chimewell::platform
