// Sending copy-data to the calendar's windows.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/message_loop.h"

namespace chimewell::channel {

// Outbound code of the refresh notification.
inline constexpr std::uint64_t HOST_NOTIFY_CODE = 2;

// Sends `text` (converted to the ANSI code page) with `code` to `window` and
// waits until it is handled; messages sent to us meanwhile are handled inside
// the wait. False only when the receiver refused the message, which is traced.
bool NotifyHost(platform::MessageLoop& loop, platform::WindowHandle window, std::uint64_t code,
                std::string_view text);

}  // namespace chimewell::channel
