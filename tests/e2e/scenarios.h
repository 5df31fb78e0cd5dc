// The end-to-end scenarios: one table, played through `chimectl run` against
// the real service by every runner (natively, and the Windows build under Wine).
//
// In expectations, {view} and {viewhex} stand for the view window's handle in
// decimal and upper-case hexadecimal, {start} for the whole start line the
// service traces for its launch, {store} and {today} for the launched user's
// store path and today folder, and {n} in a trace text for any number.
// Output lines are regular expressions; trace texts are exact otherwise.
// Refresh notifications to the view window are counted apart from the
// output, since they may come at any moment.
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
  int refreshes = 0;                     // refresh notifications the view window receives
  int exit_code = 0;
  bool posix_only = false;
  bool windows_only = false;
};

const std::vector<Scenario>& Scenarios();

// Names the scenario in test output.
void PrintTo(const Scenario& scenario, std::ostream* out);

}  // namespace chimewell::e2e
