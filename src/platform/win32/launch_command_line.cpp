#include "platform/win32/launch_command_line.h"

#include <stdexcept>

namespace chimewell::platform::win32 {
namespace {

bool NeedsQuotes(const std::string& argument) {
  if (argument.empty()) return true;
  for (const char c : argument) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 1 && code <= 32) return true;
  }
  return false;
}

}  // namespace

std::string JoinLaunchCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (const std::string& argument : arguments) {
    if (argument.find_first_of(std::string("\"\0", 2)) != std::string::npos) {
      throw std::invalid_argument(
          "The argument [" + argument +
          "] holds a double quote or NUL, which a command line can not carry");
    }
    if (!line.empty()) line.push_back(' ');
    if (NeedsQuotes(argument)) {
      line += '"' + argument + '"';
    } else {
      line += argument;
    }
  }
  return line;
}

}  // namespace chimewell::platform::win32
