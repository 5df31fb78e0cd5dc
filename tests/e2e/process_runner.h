// Runs a program to its end with a given standard input and environment,
// capturing standard output and standard error separately.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace chimewell::e2e {

struct ProcessOutcome {
  int exit_code = -1;  // 128 + signal when killed; -1 when it timed out
  std::string out, err;
  std::chrono::milliseconds elapsed{0};
};

// Environment entries set to nullopt are removed from the child's environment.
ProcessOutcome RunProcess(const std::vector<std::string>& command, const std::string& input,
                          const std::map<std::string, std::optional<std::string>>& environment,
                          std::chrono::seconds timeout = std::chrono::seconds(30));

std::vector<std::string> SplitLines(const std::string& text);

}  // namespace chimewell::e2e
