#include <string>

#include <gtest/gtest.h>

#include "platform/locale.h"
#include "testing/scoped_environment.h"

namespace chimewell::platform {
namespace {

TEST(TimeSeparator, OfWindowsFormats) {
  struct Case {
    const char* format;
    const char* separator;
  } cases[] = {
      {"HH:mm:ss", ":"},       {"h:mm:ss tt", ":"},   {"H.mm.ss", "."},  {"tt hh:mm:ss", ":"},
      {"HH' h 'mm", " h "},    {"HH'h'mm", "h"},      {"HH''mm", "'"},   {"HHmmss", ""},
      {"ss", ""},              {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TimeSeparatorOfWindowsFormat(c.format), c.separator) << c.format;
}

TEST(TimeSeparator, OfStrftimeFormats) {
  struct Case {
    const char* format;
    const char* separator;
  } cases[] = {
      {"%H:%M:%S", ":"}, {"%T", ":"},      {"%r", ":"},        {"%H.%M.%S", "."}, {"%k.%M.%S", "."},
      {"%l:%M:%S %p", ":"}, {"%OH.%OM", "."}, {"%H h %M", " h "}, {"%p %I:%M", ":"}, {"%H%M%S", ""},
      {"%S", ""},        {"%H", ""},       {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TimeSeparatorOfStrftimeFormat(c.format), c.separator) << c.format;
}

// The environment's locale decides, not the process's global one.
TEST(TimeSeparator, OfTheEnvironmentsLocale) {
  {
    const testing_support::ScopedEnvironmentVariable finnish("LC_ALL", "fi_FI.UTF-8");
    EXPECT_EQ(LocaleTimeSeparator(), ".") << "fi_FI.UTF-8 missing? run scripts/setup.sh native";
  }
  {
    const testing_support::ScopedEnvironmentVariable c("LC_ALL", "C");
    EXPECT_EQ(LocaleTimeSeparator(), ":");
  }
  const testing_support::ScopedEnvironmentVariable unknown("LC_ALL", "xx_XX.nothing");
  EXPECT_EQ(LocaleTimeSeparator(), ":");
}

}  // namespace
}  // namespace chimewell::platform
