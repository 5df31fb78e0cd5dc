// Plays a scenario through one target's chimectl and checks what it printed
// and what the service traced.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "process_runner.h"
#include "scenarios.h"

namespace chimewell::e2e {

// One trace line taken apart by its fixed layout.
struct TraceLine {
  std::string whole;
  std::uint32_t process_id = 0;
  std::string text;  // from column 67 on
};

// Parses a trace line; nullopt when it does not have the trace layout.
std::optional<TraceLine> ParseTraceLine(const std::string& line);

// How many lines of `records` begin with a trace timestamp whose time
// separator is `separator`.
int CountTimestamps(const std::string& records, char separator);

// What differs between the targets.
class Target {
 public:
  virtual ~Target() = default;
  // Runs `chimectl ARGS...` of this target with `input` on standard input.
  virtual ProcessOutcome RunChimectl(const std::vector<std::string>& arguments,
                                     const std::string& input) = 0;
  // The raw trace records the service wrote during that run.
  virtual std::vector<std::string> TraceRecords(const ProcessOutcome& outcome) = 0;
  // The start line the service traces when launched with `parameter`.
  virtual std::string StartLine(const std::optional<std::string>& parameter) = 0;
  // Where the service keeps the store of `user`, as it traces the path.
  virtual std::string StorePath(const std::string& user) = 0;
  // The user's today folder, ending with a separator, as the service traces it.
  virtual std::string TodayDir(const std::string& user) = 0;
  virtual bool IsPosix() const = 0;
};

// Runs the scenario and reports every difference as a test failure.
void PlayScenario(Target& target, const Scenario& scenario);

}  // namespace chimewell::e2e
