#include <string>
#include <string_view>

#include "platform/locale.h"

namespace chimewell::platform {

std::string TimeSeparatorOfWindowsFormat(std::string_view format) {
  // Hours are h or H, minutes m; text in single quotes is literal ('' is a quote).
  std::string separator;
  bool after_hours = false;
  bool quoted = false;
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c == '\'') {
      if (i + 1 < format.size() && format[i + 1] == '\'') {
        if (after_hours) separator += '\'';
        ++i;
      } else {
        quoted = !quoted;
      }
      continue;
    }
    if (!quoted && (c == 'h' || c == 'H')) {
      after_hours = true;
      separator.clear();
      continue;
    }
    if (!quoted && c == 'm' && after_hours) return separator;
    if (after_hours) separator += c;
  }
  return "";
}

std::string TimeSeparatorOfStrftimeFormat(std::string_view format) {
  // The composite directives stand for the C library's own forms.
  std::string expanded;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      const char directive = format[i + 1];
      if (directive == 'T') { expanded += "%H:%M:%S"; ++i; continue; }
      if (directive == 'R') { expanded += "%H:%M"; ++i; continue; }
      if (directive == 'r') { expanded += "%I:%M:%S %p"; ++i; continue; }
    }
    expanded += format[i];
  }
  // The text between an hour directive (%H, %I, %k, %l, with flags or the O
  // modifier) and the next directive, when that is the minutes.
  for (std::size_t i = 0; i < expanded.size(); ++i) {
    if (expanded[i] != '%') continue;
    std::size_t at = i + 1;
    while (at < expanded.size() && std::string_view("-_0^#O").find(expanded[at]) != std::string_view::npos) ++at;
    if (at >= expanded.size()) return "";
    if (std::string_view("HIkl").find(expanded[at]) == std::string_view::npos) {
      i = at;
      continue;
    }
    const std::size_t next = expanded.find('%', at + 1);
    if (next == std::string::npos) return "";
    std::size_t minutes = next + 1;
    while (minutes < expanded.size() &&
           std::string_view("-_0^#O").find(expanded[minutes]) != std::string_view::npos) {
      ++minutes;
    }
    if (minutes >= expanded.size() || expanded[minutes] != 'M') return "";
    return expanded.substr(at + 1, next - at - 1);
  }
  return "";
}

}  // namespace chimewell::platform
