// Sets or removes one environment variable for a test and puts the previous
// value (or its absence) back. POSIX only.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace chimewell::testing_support {

class ScopedEnvironmentVariable {
 public:
  // nullopt removes the variable.
  ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    Set(value);
  }
  ~ScopedEnvironmentVariable() { Set(previous_); }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  void Set(const std::optional<std::string>& value) const {
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace chimewell::testing_support
