#include "channel/notify_host.h"

#include "platform/code_page.h"
#include "trace/trace.h"

namespace chimewell::channel {

bool NotifyHost(platform::MessageLoop& loop, platform::WindowHandle window, std::uint64_t code,
                std::string_view text) {
  const std::string bytes = platform::Utf8ToAnsi(text);
  const platform::SendResult sent = loop.SendCopyData(window, code, bytes);
  if (sent.access_denied) {
    trace::WriteError("NotifyHost failed : [ERROR_ACCESS_DENIED]");
    return false;
  }
  if (sent.interrupted) {
    // The service is closing; what the calendar was told of is in the store already.
    trace::WriteLog("NotifyHost broken off : closing.");
    return false;
  }
  return true;
}

}  // namespace chimewell::channel
