// chimectl as a user meets it: options checked before any wait, the real
// cause named, and texts sent byte for byte.
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process_runner.h"
#include "testing/temp_folder.h"
#include "version/version.h"

namespace chimewell::e2e {
namespace {

using namespace std::chrono_literals;

class ChimectlTest : public ::testing::Test {
 protected:
  ProcessOutcome Chimectl(const std::vector<std::string>& arguments, const std::string& input = "") const {
    std::vector<std::string> command = {CHIMECTL_PATH};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunProcess(command, input, {{"XDG_RUNTIME_DIR", folder_.Path()}, {"HOME", folder_.Path()}});
  }
  std::string Bus() const { return folder_.Path() + "/chimewell-bus"; }

  testing_support::TempFolder folder_{"cw-ctl"};
};

// The wait for a window that a mistake must not start: long, so that a run
// that waited stands apart from a slow start on a busy machine.
constexpr auto kLongWait = 30s;
const std::string kLongWaitText = std::to_string(kLongWait.count());

// No service runs: every case must end at once instead of waiting for a
// window, and say why.
TEST_F(ChimectlTest, MistakesAreReportedBeforeAnyWait) {
  struct Case {
    std::vector<std::string> arguments;
    int exit_code;
    std::string error;
  } cases[] = {
      {{"send", "--wait", kLongWaitText, "--bogus", "x"}, 2, "unknown option --bogus"},
      {{"send", "--wait", kLongWaitText}, 2, "send needs at least one TEXT"},
      {{"send", "--wait", kLongWaitText, "--code", "ten", "x"}, 2, "--code must be an integer"},
      {{"timechange", "--wait", kLongWaitText, "extra"}, 2, "timechange takes no arguments"},
      {{"close", "--wait", "-1"}, 2, "--wait must be a number of seconds"},
      {{"--version", "extra"}, 2, "--version takes no arguments"},
  };
  for (const Case& c : cases) {
    const ProcessOutcome outcome = Chimectl(c.arguments);
    EXPECT_EQ(outcome.exit_code, c.exit_code) << c.arguments[0] << ": " << outcome.err;
    EXPECT_NE(outcome.err.find(c.error), std::string::npos) << outcome.err;
    EXPECT_LT(outcome.elapsed, kLongWait / 3) << c.error;
  }
}

// The version is the project's (top CMakeLists.txt), and the help says how
// to ask for it.
TEST_F(ChimectlTest, VersionIsPrintedAndNamedInTheHelp) {
  const ProcessOutcome version = Chimectl({"--version"});
  EXPECT_EQ(version.exit_code, 0) << version.err;
  EXPECT_EQ(version.out, std::string("chimectl ") + chimewell::kVersion + "\n");
  EXPECT_EQ(version.err, "");
  const ProcessOutcome help = Chimectl({"--help"});
  EXPECT_EQ(help.exit_code, 0) << help.err;
  EXPECT_NE(help.out.find("chimectl --version"), std::string::npos) << help.out;
}

TEST_F(ChimectlTest, AnUnsafeBusFolderIsNamedNotTakenForNoService) {
  ASSERT_EQ(::mkdir(Bus().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(Bus().c_str(), 0777), 0);
  const ProcessOutcome outcome = Chimectl({"send", "--wait", kLongWaitText, "x"});
  EXPECT_NE(outcome.exit_code, 0);
  EXPECT_NE(outcome.err.find(Bus()), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.err.find("no window"), std::string::npos) << outcome.err;
  EXPECT_LT(outcome.elapsed, kLongWait / 3);
}

// "send -" takes one text per line of standard input, as it is.
TEST_F(ChimectlTest, SendReadsTextsFromStandardInput) {
  auto listener = std::async(std::launch::async, [this] { return Chimectl({"listen"}); });
  const std::string lines = "{\"method\":\"x\",\"data\":{\"a\":\"b c\"}}\r\n\\\"quoted\\\"\n\nlast";
  const ProcessOutcome sent = Chimectl({"send", "--class", "ChimectlView", "--code", "7", "-"}, lines);
  EXPECT_EQ(sent.exit_code, 0) << sent.err;
  const ProcessOutcome closed = Chimectl({"close", "--class", "ChimectlView"});
  EXPECT_EQ(closed.exit_code, 0) << closed.err;
  const ProcessOutcome listened = listener.get();
  const std::vector<std::string> received = SplitLines(listened.out);
  ASSERT_EQ(received.size(), 5u) << listened.out;
  EXPECT_EQ(received[1], R"({"code":7,"text":"{\"method\":\"x\",\"data\":{\"a\":\"b c\"}}"})");
  EXPECT_EQ(received[2], R"({"code":7,"text":"\\\"quoted\\\""})");
  EXPECT_EQ(received[3], R"({"code":7,"text":""})");
  EXPECT_EQ(received[4], R"({"code":7,"text":"last"})");
}

}  // namespace
}  // namespace chimewell::e2e
