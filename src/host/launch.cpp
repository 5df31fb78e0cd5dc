#include "host/launch.h"

#include <limits>

#include "platform/process.h"

namespace chimewell::host {
namespace {

int DigitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string LaunchField(const std::vector<std::string>& arguments, std::size_t index) {
  if (arguments.size() < 2) return {};
  std::string_view rest = arguments[1];
  for (std::size_t field = 0;; ++field) {
    const std::size_t bar = rest.find('|');
    if (field == index) return std::string(rest.substr(0, bar));
    if (bar == std::string_view::npos) return {};
    rest.remove_prefix(bar + 1);
  }
}

std::optional<std::int64_t> ParseLaunchInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return std::nullopt;
  const std::uint64_t base = hex ? 16 : 10;
  // The magnitude may reach 2^63 only for a negative value.
  const std::uint64_t limit = std::uint64_t{std::numeric_limits<std::int64_t>::max()} + (negative ? 1 : 0);
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = DigitValue(text[i], hex);
    if (digit < 0) return std::nullopt;
    if (value > (limit - static_cast<std::uint64_t>(digit)) / base) return std::nullopt;
    value = value * base + static_cast<std::uint64_t>(digit);
  }
  return static_cast<std::int64_t>(negative ? ~value + 1 : value);
}

platform::WindowHandle WindowHandleFromText(std::string_view text) {
  const std::int64_t value = ParseLaunchInteger(text).value_or(0);
  return static_cast<platform::WindowHandle>(static_cast<std::uint64_t>(value) & 0xFFFFFFFFu);
}

namespace {

// The launch parameter's field of the running process.
std::string GetLaunchParam(std::size_t index) { return LaunchField(platform::CommandLineArguments(), index); }

}  // namespace

LaunchValues ProcessLaunchValues() { return {GetLaunchParam(0), WindowHandleFromText(GetLaunchParam(1))}; }

}  // namespace chimewell::host
