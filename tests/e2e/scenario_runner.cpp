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

// True when `text` equals `pattern` in which each "{n}" stands for a number.
bool MatchesWithNumbers(std::string_view text, std::string_view pattern) {
  const std::size_t hole = pattern.find("{n}");
  if (hole == std::string_view::npos) return text == pattern;
  if (text.substr(0, hole) != pattern.substr(0, hole)) return false;
  std::size_t digits = hole;
  if (digits < text.size() && text[digits] == '-') ++digits;
  const std::size_t first = digits;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  return digits > first && MatchesWithNumbers(text.substr(digits), pattern.substr(hole + 3));
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

int CountTimestamps(const std::string& records, char separator) {
  const std::string s = separator == '.' ? "\\." : std::string(1, separator);
  const std::regex timestamp("^ {7}\\d{4}-\\d\\d-\\d\\d \\d\\d" + s + "\\d\\d" + s + "\\d\\d" + s +
                             "\\d{3} ");
  int count = 0;
  for (const std::string& line : SplitLines(records)) {
    if (std::regex_search(line, timestamp)) ++count;
  }
  return count;
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

  // Notifications arrive whenever the service sends them: count them apart
  // from the session's own lines, whose order is fixed.
  std::vector<std::string> session;
  int refreshes = 0;
  for (const std::string& line : output) {
    if (line.rfind("notify ", 0) != 0) {
      session.push_back(line);
    } else if (line == R"(notify {"code":2,"text":"{\"method\":\"ToayReminderDataRefreshed\"}"})") {
      ++refreshes;
    } else {
      ADD_FAILURE() << "unexpected notification: " << line;
    }
  }
  EXPECT_EQ(refreshes, scenario.refreshes);
  EXPECT_EQ(session.size(), scenario.output.size());
  for (std::size_t i = 0; i < std::min(session.size(), scenario.output.size()); ++i) {
    EXPECT_TRUE(std::regex_match(session[i], std::regex(scenario.output[i])))
        << "line " << i << ": '" << session[i] << "' does not match '" << scenario.output[i] << "'";
  }

  std::vector<std::string> texts;
  std::optional<std::uint32_t> service_pid;
  for (const std::string& record : target.TraceRecords(outcome)) {
    auto line = ParseTraceLine(record);
    if (!line) {
      // A line longer than 220 UTF-16 units comes in pieces; only the first
      // has the layout, the rest continue it.
      if (texts.empty()) ADD_FAILURE() << "not a trace line: '" << record << "'";
      if (!texts.empty()) texts.back() += record;
      continue;
    }
    if (!service_pid) service_pid = line->process_id;
    EXPECT_EQ(line->process_id, *service_pid) << "trace lines of two processes";
    texts.push_back(line->text);
  }
  const auto parameter = LaunchParameter(output);
  const std::string user = parameter ? parameter->substr(0, parameter->find('|')) : "";
  const std::vector<std::pair<std::string, std::string>> values = {
      {"{start}", target.StartLine(parameter)}, {"{store}", target.StorePath(user)},
      {"{today}", target.TodayDir(user)},       {"{viewhex}", view_hex},
      {"{view}", std::to_string(view)}};
  std::vector<std::string> expected;
  bool matches = texts.size() == scenario.trace.size();
  for (std::size_t i = 0; i < scenario.trace.size(); ++i) {
    std::string line = scenario.trace[i];
    for (const auto& [name, value] : values) line = Replace(line, name, value);
    expected.push_back(line);
    matches = matches && i < texts.size() && MatchesWithNumbers(texts[i], line);
  }
  EXPECT_TRUE(matches) << ::testing::PrintToString(texts) << "\ndoes not match\n"
                       << ::testing::PrintToString(expected);
}

}  // namespace chimewell::e2e
