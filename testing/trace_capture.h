// Test helper: the texts the process traced to standard error while a
// capture ran. (Also brings temp_folder.h, which tests include through it.)
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/temp_folder.h"
#include "trace/trace.h"

namespace chimewell::testing_support {

// Switches the trace on and collects the text part of every trace line
// written while it lives. The process reads isDebug at its first trace call;
// the test registration sets it, and a capture made after the gate was read
// closed fails at once.
class TraceCapture {
 public:
  TraceCapture() {
    ::setenv("isDebug", "1", 1);
    if (!trace::TraceSwitchedOn(trace::ProcessTraceEnvironment().DebugSwitch())) {
      ADD_FAILURE() << "the process trace is off: run the test with isDebug=1 "
                       "(it is read once, at the first trace call)";
    }
    ::testing::internal::CaptureStderr();
  }
  ~TraceCapture() {
    if (!taken_) ::testing::internal::GetCapturedStderr();
  }
  // The texts (everything after the fixed 66-column prefix) of the lines so far.
  std::vector<std::string> Texts() {
    taken_ = true;
    const std::string captured = ::testing::internal::GetCapturedStderr();
    std::vector<std::string> texts;
    std::size_t start = 0;
    while (start < captured.size()) {
      std::size_t end = captured.find('\n', start);
      if (end == std::string::npos) end = captured.size();
      const std::string line = captured.substr(start, end - start);
      texts.push_back(line.size() > 66 ? line.substr(66) : line);
      start = end + 1;
    }
    return texts;
  }

 private:
  bool taken_ = false;
};

}  // namespace chimewell::testing_support
