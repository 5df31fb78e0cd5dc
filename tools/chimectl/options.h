// Command-line parsing shared by the verbs: flags with values, positionals,
// and a one-line reason on misuse.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace chimectl {

// Misuse of the command line; main prints the message and exits 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Walks the arguments of one verb. Flags may come in any order before or
// between positionals; "--" ends the flags.
class Arguments {
 public:
  explicit Arguments(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

  // True when --help or -h was given.
  bool WantsHelp() const;
  // The value after `flag`, removed from the list; nullopt when absent.
  std::optional<std::string> TakeValue(const std::string& flag);
  // True when `flag` (without value) was present; removed from the list.
  bool TakeSwitch(const std::string& flag);
  // What is left: positionals. Throws UsageError on an unknown flag.
  std::vector<std::string> Positionals() const;

 private:
  std::vector<std::string> arguments_;
};

std::int64_t ParseInteger(const std::string& text, const std::string& what);
double ParseSeconds(const std::string& text, const std::string& what);

}  // namespace chimectl
