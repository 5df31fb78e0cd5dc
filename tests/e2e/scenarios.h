// The end-to-end scenarios: one table, played through `chimectl run` against
// the real service by every runner (natively, and the Windows build under Wine).
//
// In expectations, {view} and {viewhex} stand for the view window's handle in
// decimal and upper-case hexadecimal, {start} for the whole start line the
// service traces for its launch. Output lines are regular expressions; trace
// texts are exact.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace chimewell::e2e {

struct Scenario {
  const char* name;
  std::vector<std::string> run_options;  // after "chimectl run"
  std::string input;                     // the session file, fed on standard input
  std::vector<std::string> output;       // chimectl's standard output, line by line
  std::vector<std::string> trace;        // the service's trace texts, in order
  int exit_code = 0;
  bool posix_only = false;
};

const std::vector<Scenario>& Scenarios();

// Names the scenario in test output.
void PrintTo(const Scenario& scenario, std::ostream* out);

}  // namespace chimewell::e2e
