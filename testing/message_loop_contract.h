// What every message-loop backend must do, written once. The cases are plain
// functions over a small check interface so that the same code runs under
// gtest natively (src/platform/posix/message_loop_posix_test.cpp) and in the
// Windows test program under Wine (src/platform/win32/backend_test.cpp), whose
// cross build has no test framework.
#pragma once

#include <source_location>
#include <string>
#include <vector>

namespace chimewell::testing_support::loop_contract {

// Where a case reports what it found wrong; each runner supplies Fail().
class Check {
 public:
  virtual ~Check() = default;

  bool That(bool ok, const std::string& what,
            std::source_location where = std::source_location::current()) {
    if (!ok) Fail(what, where);
    return ok;
  }
  template <typename A, typename B>
  bool Equal(const A& actual, const B& expected, const std::string& what,
             std::source_location where = std::source_location::current()) {
    return That(actual == expected, what, where);
  }

 private:
  virtual void Fail(const std::string& what, const std::source_location& where) = 0;
};

struct Case {
  const char* name;
  void (*run)(Check& check);
};

// The cases, each independent of the others. A case may create windows of
// class "CwTestWnd" and expects no other window of that class to exist.
std::vector<Case> MessageLoopCases();

}  // namespace chimewell::testing_support::loop_contract
