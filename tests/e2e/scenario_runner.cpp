#include "scenario_runner.h"

#include <cstdio>
#include <regex>

#include <gtest/gtest.h>

namespace chimewell::e2e {
namespace {

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// "launch X" or "launch without parameter" as printed by chimectl run.
std::optional<std::string> LaunchParameter(const std::vector<std::string>& output) {
  for (const std::string& line : output) {
    if (line == "launch without parameter") return std::nullopt;
    if (line.rfind("launch ", 0) == 0) return line.substr(7);
  }
  ADD_FAILURE() << "chimectl printed no launch line";
  return std::nullopt;
}

}  // namespace

std::optional<TraceLine> ParseTraceLine(const std::string& line) {
  // "%30s %6d %6d %20s %s": the timestamp right-aligned in 30 columns, the
  // ids in 6 each, an empty module name as 20 blanks, then the text.
  static const std::regex layout(
      R"(^ {7}\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3} ([ \d]{5}\d) [ \d]{5}\d {22}([\s\S]*)$)");
  std::smatch match;
  if (!std::regex_match(line, match, layout)) return std::nullopt;
  return TraceLine{line, static_cast<std::uint32_t>(std::stoul(match[1].str())), match[2].str()};
}

void PlayScenario(Target& target, const Scenario& scenario) {
  std::vector<std::string> arguments = {"run"};
  arguments.insert(arguments.end(), scenario.run_options.begin(), scenario.run_options.end());
  const ProcessOutcome outcome = target.RunChimectl(arguments, scenario.input);
  SCOPED_TRACE("stdout:\n" + outcome.out + "\nstderr:\n" + outcome.err);
  EXPECT_EQ(outcome.exit_code, scenario.exit_code);

  const auto output = SplitLines(outcome.out);
  ASSERT_GE(output.size(), 1u);
  unsigned long view = 0;
  ASSERT_EQ(std::sscanf(output[0].c_str(), "view window %lu", &view), 1) << output[0];
  char view_hex[16];
  std::snprintf(view_hex, sizeof view_hex, "%lX", view);

  EXPECT_EQ(output.size(), scenario.output.size());
  for (std::size_t i = 0; i < std::min(output.size(), scenario.output.size()); ++i) {
    EXPECT_TRUE(std::regex_match(output[i], std::regex(scenario.output[i])))
        << "line " << i << ": '" << output[i] << "' does not match '" << scenario.output[i] << "'";
  }

  std::vector<std::string> texts;
  std::optional<std::uint32_t> service_pid;
  for (const std::string& record : target.TraceRecords(outcome)) {
    auto line = ParseTraceLine(record);
    if (!line) {
      ADD_FAILURE() << "not a trace line: '" << record << "'";
      continue;
    }
    if (!service_pid) service_pid = line->process_id;
    EXPECT_EQ(line->process_id, *service_pid) << "trace lines of two processes";
    texts.push_back(line->text);
  }
  std::vector<std::string> expected;
  const std::string start = target.StartLine(LaunchParameter(output));
  for (const std::string& text : scenario.trace) {
    expected.push_back(Replace(Replace(Replace(text, "{start}", start), "{viewhex}", view_hex),
                               "{view}", std::to_string(view)));
  }
  EXPECT_EQ(texts, expected);
}

}  // namespace chimewell::e2e
