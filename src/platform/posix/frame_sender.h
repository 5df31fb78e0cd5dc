// The sending side of one message on the window bus: connect, write the
// request, read the reply.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/message_loop.h"
#include "platform/posix/bus.h"

namespace chimewell::platform::posix {

// Waits until `connection` (when given) is ready or `max_wait_ms` passed (-1:
// no limit), serving the sender's own messages meanwhile; sets revents.
// Returns false when the send is to be given up (the process is closing).
using SendWait = std::function<bool(pollfd* connection, int max_wait_ms)>;

// Sends one request to `target` on `bus` and returns its reply. A window
// that does not accept is tried again every 10 ms up to kBusyWindowLimit.
// When `wait` says to give up, the result is undelivered and interrupted.
SendResult SendFrame(const std::string& bus, WindowHandle target, FrameKind kind,
                     std::uint64_t code, std::string_view payload, const SendWait& wait);

// Leaves a request without payload with `target` and returns without
// waiting for its reply: true once the whole request is in the window's
// socket. A window that does not accept counts as not reached.
bool PostFrame(const std::string& bus, WindowHandle target, FrameKind kind, std::uint64_t code);

}  // namespace chimewell::platform::posix
