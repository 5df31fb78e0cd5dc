#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace chimectl {

bool Arguments::WantsHelp() const {
  return std::any_of(arguments_.begin(), arguments_.end(),
                     [](const std::string& a) { return a == "--help" || a == "-h"; });
}

std::optional<std::string> Arguments::TakeValue(const std::string& flag) {
  for (auto it = arguments_.begin(); it != arguments_.end() && *it != "--"; ++it) {
    if (*it == flag) {
      if (std::next(it) == arguments_.end()) throw UsageError(flag + " needs a value");
      std::string value = *std::next(it);
      arguments_.erase(it, it + 2);
      return value;
    }
    if (it->rfind(flag + "=", 0) == 0) {
      std::string value = it->substr(flag.size() + 1);
      arguments_.erase(it);
      return value;
    }
  }
  return std::nullopt;
}

bool Arguments::TakeSwitch(const std::string& flag) {
  for (auto it = arguments_.begin(); it != arguments_.end() && *it != "--"; ++it) {
    if (*it == flag) {
      arguments_.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::string> Arguments::Positionals() const {
  std::vector<std::string> result;
  bool flags_ended = false;
  for (const std::string& argument : arguments_) {
    if (!flags_ended && argument == "--") {
      flags_ended = true;
    } else if (!flags_ended && argument.size() > 1 && argument[0] == '-' && argument != "-") {
      throw UsageError("unknown option " + argument);
    } else {
      result.push_back(argument);
    }
  }
  return result;
}

std::int64_t ParseInteger(const std::string& text, const std::string& what) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0) {
    throw UsageError(what + " must be an integer, not '" + text + "'");
  }
  return value;
}

double ParseSeconds(const std::string& text, const std::string& what) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || value < 0) {
    throw UsageError(what + " must be a number of seconds, not '" + text + "'");
  }
  return value;
}

}  // namespace chimectl
