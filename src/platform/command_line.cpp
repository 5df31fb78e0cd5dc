#include "platform/command_line.h"

namespace chimewell::platform {
namespace {

constexpr bool IsSeparator(char c) {
  const auto code = static_cast<unsigned char>(c);
  return code >= 1 && code <= 32;
}

constexpr bool IsPlainShellCharacter(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '_': case '@': case '%': case '+': case '=': case ':': case ',': case '.': case '/': case '-':
      return true;
    default:
      return false;
  }
}

bool IsPlainShellWord(std::string_view word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (!IsPlainShellCharacter(c)) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view command_line) {
  std::vector<std::string> arguments;
  std::size_t at = 0;
  const std::size_t end = command_line.size();
  while (true) {
    while (at < end && IsSeparator(command_line[at])) ++at;
    if (at == end) break;
    if (command_line.substr(at, 2) == "\"\"") {  // an empty pair where an argument would begin
      at += 2;
      continue;
    }
    std::string argument;
    bool quoted = false;
    for (; at < end; ++at) {
      const char c = command_line[at];
      if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && IsSeparator(c)) {
        break;
      } else {
        argument.push_back(c);
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

std::string JoinShellQuoted(const std::vector<std::string>& arguments) {
  std::string joined;
  for (const std::string& argument : arguments) {
    if (!joined.empty()) joined.push_back(' ');  // every word written is non-empty
    if (IsPlainShellWord(argument)) {
      joined += argument;
      continue;
    }
    joined.push_back('\'');
    for (char c : argument) {
      if (c == '\'') {
        joined += "'\\''";
      } else {
        joined.push_back(c);
      }
    }
    joined.push_back('\'');
  }
  return joined;
}

}  // namespace chimewell::platform
