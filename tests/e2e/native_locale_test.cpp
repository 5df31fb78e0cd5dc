// The user's zone and locale: today's reminders on the local calendar, and
// the trace's time separator.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "earlier_today.h"
#include "process_runner.h"
#include "scenario_runner.h"

namespace chimewell::e2e {
namespace {

namespace fs = std::filesystem;

// West of UTC a daily reminder earlier today used to be missing all day.
TEST(NativeLocale, DailyReminderEarlierTodayIsListedWestOfUtc) {
  constexpr const char* kZone = "America/New_York";
  char pattern[] = "/tmp/cw-e2e-XXXXXX";
  const std::string root = ::mkdtemp(pattern);
  const EarlierToday earlier = DailyEarlierToday(kZone, "ny1");

  const ProcessOutcome run = RunProcess(
      {CHIMECTL_PATH, "run", "--exe", CHIMEWELL_PATH, "--user", "ny"}, earlier.session,
      {{"XDG_RUNTIME_DIR", root}, {"HOME", root}, {"TZ", kZone}, {"isDebug", std::nullopt}});
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("timechange"), std::string::npos) << run.out;

  std::ifstream file(root + "/Documents/Pelicorda/Calendar/Cache/users/ny/today/reminder.json");
  std::ostringstream document;
  document << file.rdbuf();
  EXPECT_EQ(document.str(), R"({"Calendar_ny":{"ID":"ny","Reminds":[)" + earlier.element + "]}}");
  fs::remove_all(root);
}

// Finnish writes times as 12.30.00: every separator of the timestamp follows.
TEST(NativeLocale, TraceTimestampTakesTheLocalesTimeSeparator) {
  char pattern[] = "/tmp/cw-e2e-XXXXXX";
  const std::string root = ::mkdtemp(pattern);
  const ProcessOutcome run =
      RunProcess({CHIMECTL_PATH, "run", "--exe", CHIMEWELL_PATH, "--user", "fi"}, "!sleep 300\n",
                 {{"XDG_RUNTIME_DIR", root}, {"HOME", root}, {"LC_ALL", "fi_FI.UTF-8"}, {"isDebug", "1"}});
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_EQ(CountTimestamps(run.err, ':'), 0) << run.err;
  EXPECT_GE(CountTimestamps(run.err, '.'), 3) << run.err << "\n(fi_FI.UTF-8 missing? run scripts/setup.sh native)";
  fs::remove_all(root);
}

}  // namespace
}  // namespace chimewell::e2e
