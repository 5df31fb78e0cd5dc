#include <sys/uio.h>
#include <unistd.h>

#include "platform/debug_output.h"

namespace chimewell::platform {

void OutputDebugText(std::string_view text) noexcept {
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
