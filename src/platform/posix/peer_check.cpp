#include "platform/posix/peer_check.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "platform/posix/bus.h"

namespace chimewell::platform::posix {

std::optional<std::string> ForeignPeer(int fd) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::geteuid()) {
    return std::nullopt;
  }
  return "Refused a message from user " + std::to_string(peer.uid) + " (process " +
         std::to_string(peer.pid) + ")";
}

void SendRefusal(int fd) {
  const Reply refusal{static_cast<std::uint64_t>(ReplyStatus::kRefused), 0};
  ::send(fd, &refusal, sizeof refusal, MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace chimewell::platform::posix
