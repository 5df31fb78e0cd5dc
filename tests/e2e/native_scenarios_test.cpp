// The scenarios against the native build.
#include <cstdlib>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "platform/command_line.h"
#include "scenario_runner.h"
#include "testing/temp_folder.h"

namespace chimewell::e2e {
namespace {

namespace fs = std::filesystem;

// A private runtime folder (and so a private window bus) per test.
class NativeTarget final : public Target {
 public:
  ProcessOutcome RunChimectl(const std::vector<std::string>& arguments,
                             const std::string& input) override {
    std::vector<std::string> command = {CHIMECTL_PATH};
    command.insert(command.end(), arguments.begin(), arguments.end());
    command.insert(command.begin() + 2, {"--exe", CHIMEWELL_PATH});
    return RunProcess(command, input,
                      {{"XDG_RUNTIME_DIR", root_}, {"HOME", root_}, {"isDebug", "1"}});
  }
  // The service shares chimectl's standard error; chimectl itself writes
  // nothing there in a good run.
  std::vector<std::string> TraceRecords(const ProcessOutcome& outcome) override {
    return SplitLines(outcome.err);
  }
  std::string StartLine(const std::optional<std::string>& parameter) override {
    std::vector<std::string> argv = {CHIMEWELL_PATH};
    if (parameter) argv.push_back(*parameter);
    return "chimewell start with " + platform::JoinShellQuoted(argv);
  }
  std::string StorePath(const std::string& user) override {
    return root_ + "/Documents/Pelicorda/Calendar/Data/users/" + user + "/reminder.db";
  }
  std::string TodayDir(const std::string& user) override {
    return root_ + "/Documents/Pelicorda/Calendar/Cache/users/" + user + "/today/";
  }
  bool IsPosix() const override { return true; }
  const std::string& Root() const { return root_; }

 private:
  testing_support::TempFolder folder_{"cw-e2e"};
  const std::string root_ = folder_.Path();
};

class NativeScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(NativeScenario, Plays) {
  NativeTarget target;
  PlayScenario(target, GetParam());
}

std::vector<Scenario> PosixScenarios() {
  std::vector<Scenario> scenarios;
  for (const Scenario& scenario : Scenarios()) {
    if (!scenario.windows_only) scenarios.push_back(scenario);
  }
  return scenarios;
}

INSTANTIATE_TEST_SUITE_P(E2E, NativeScenario, ::testing::ValuesIn(PosixScenarios()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace chimewell::e2e
