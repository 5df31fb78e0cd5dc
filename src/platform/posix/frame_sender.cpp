#include "platform/posix/frame_sender.h"

#include <sys/socket.h>

#include <cerrno>

#include "platform/posix/loop_clocks.h"

namespace chimewell::platform::posix {
namespace {

// How often a send tries again to reach a window that does not accept.
constexpr int kBusyWindowRetryMs = 10;

// A window that does not accept is tried again, the sender's own windows
// served meanwhile, until the limit.
Connection Connect(const std::string& bus, WindowHandle target, const SendWait& wait, bool& interrupted) {
  Connection connection = ConnectToWindow(bus, target);
  const std::int64_t give_up_ns = MonotonicNsAfter(kBusyWindowLimit);
  while (connection.error == EAGAIN && MonotonicNs() < give_up_ns) {
    if (!wait(nullptr, kBusyWindowRetryMs)) {
      interrupted = true;
      return Connection{};
    }
    connection = ConnectToWindow(bus, target);
  }
  return connection;
}

}  // namespace

SendResult SendFrame(const std::string& bus, WindowHandle target, FrameKind kind,
                     std::uint64_t code, std::string_view payload, const SendWait& wait) {
  SendResult outcome;
  if (payload.size() > kMaxPayload) return outcome;
  Connection connection = Connect(bus, target, wait, outcome.interrupted);
  if (outcome.interrupted) return outcome;
  if (!connection.fd.Valid()) {
    outcome.access_denied = connection.error == EACCES || connection.error == EPERM;
    return outcome;
  }
  const RequestHeader header{kFrameMagic, static_cast<std::uint32_t>(kind), code, payload.size()};
  std::string_view parts[2] = {
      std::string_view(reinterpret_cast<const char*>(&header), sizeof header), payload};
  std::size_t part = 0, offset = 0;
  Reply reply{};
  std::size_t reply_bytes = 0;
  const int fd = connection.fd.Get();
  bool sending = true;
  for (;;) {
    while (sending && part < 2) {
      if (offset == parts[part].size()) {
        ++part;
        offset = 0;
        continue;
      }
      const ssize_t sent = ::send(fd, parts[part].data() + offset, parts[part].size() - offset,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) sending = false;  // refused? read below
        break;
      }
      offset += static_cast<std::size_t>(sent);
    }
    if (part == 2) sending = false;
    // The reply (or a refusal that came before we finished sending).
    const ssize_t got =
        ::recv(fd, reinterpret_cast<char*>(&reply) + reply_bytes, sizeof reply - reply_bytes, 0);
    if (got > 0) {
      reply_bytes += static_cast<std::size_t>(got);
      if (reply_bytes == sizeof reply) break;
      continue;
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return outcome;
    pollfd ready{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    if (!wait(&ready, -1)) {
      outcome.interrupted = true;
      return outcome;
    }
  }
  if (static_cast<ReplyStatus>(reply.status) == ReplyStatus::kRefused) {
    outcome.access_denied = true;
    return outcome;
  }
  outcome.delivered = true;
  outcome.result = static_cast<std::intptr_t>(reply.result);
  return outcome;
}

bool PostFrame(const std::string& bus, WindowHandle target, FrameKind kind, std::uint64_t code) {
  const Connection connection = ConnectToWindow(bus, target);
  if (!connection.fd.Valid()) return false;
  // A fresh connection's buffer takes a header at once; the receiver reads it
  // after we close, and its reply goes nowhere.
  const RequestHeader header{kFrameMagic, static_cast<std::uint32_t>(kind), code, 0};
  for (;;) {
    const ssize_t sent = ::send(connection.fd.Get(), &header, sizeof header, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(sizeof header)) return true;
    if (sent < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace chimewell::platform::posix
