#include <sys/uio.h>
#include <unistd.h>

#include <string>

#include "platform/debug_output.h"

namespace chimewell::platform {

namespace {

// A line feed ends a record on this channel, so one inside a piece (from a
// command's text, say) would start a record that looks like a trace line of
// its own: it and a carriage return are written as visible escapes instead.
std::string_view OneRecord(std::string_view text, std::string& escaped) {
  if (text.find_first_of("\n\r") == std::string_view::npos) return text;
  escaped.reserve(text.size() + 8);
  for (const char c : text) {
    if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace

void OutputDebugText(std::string_view text) noexcept {
  std::string escaped;
  try {
    text = OneRecord(text, escaped);
  } catch (...) {
    return;  // no memory for the escape: the piece is lost, as on a channel without a reader
  }
  // One writev per piece keeps a piece and its separator together even when
  // several threads or processes share the stream.
  char line_feed = '\n';
  iovec parts[2] = {{const_cast<char*>(text.data()), text.size()}, {&line_feed, 1}};
  [[maybe_unused]] ssize_t written = ::writev(STDERR_FILENO, parts, 2);
}

}  // namespace chimewell::platform

namespace chimewell::platform {

bool ListenToDebugOutput(const std::function<bool(std::uint32_t, std::string_view)>&,
                         std::stop_token, const std::function<void()>&) {
  return false;
}

}  // namespace chimewell::platform
