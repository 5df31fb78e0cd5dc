// Only processes of this user may talk to our windows: the bus folder keeps
// others out, and each connection's credentials are checked again.
#pragma once

#include <optional>
#include <string>

namespace chimewell::platform::posix {

// The line to report for a peer of another user (or one whose credentials can
// not be read); nothing for a peer of ours.
std::optional<std::string> ForeignPeer(int fd);

// Tells a refused peer so, without waiting: its send reports access denied.
void SendRefusal(int fd);

}  // namespace chimewell::platform::posix
