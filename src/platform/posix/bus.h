// The window bus: how POSIX processes of one user find each other's windows.
// A window is a listening Unix-domain socket <bus>/<handle as 8 hex digits>;
// its class is announced by an empty file <bus>/class.<ClassName>.<handle>.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <sys/un.h>

#include "platform/message_loop.h"
#include "platform/posix/unique_fd.h"

namespace chimewell::platform::posix {

// The one place that names the bus folder, for every process of the user:
// $XDG_RUNTIME_DIR/chimewell-bus, else <home>/.cache/chimewell/bus-<host>
// (home: $HOME, else the password database). Never a shared folder such as
// /tmp, where another user could take the name first. The host name keeps
// machines that share one home over the network apart. Throws when there is
// neither a runtime folder nor a home.
std::string BusDirectory();

// Creates the bus folder (mode 0700, and missing parents 0700) when missing.
// Throws std::runtime_error when it is not a plain folder of this user closed
// to group and others: anybody who can write there could impersonate the
// calendar or the service.
void EnsureSafeBusDirectory(const std::string& bus);

// The socket address of a window. A socket path must fit sockaddr_un (107
// bytes); a longer one is reached through this process's handle on the bus
// folder (/proc/self/fd/N/<handle>), which `folder` keeps open while the
// address is used, so a deep home folder still works.
struct WindowAddress {
  sockaddr_un address{};
  UniqueFd folder;
  int error = 0;  // errno of opening the folder; the address is then empty
};
WindowAddress WindowSocketAddress(const std::string& bus, WindowHandle handle);

std::string WindowSocketPath(const std::string& bus, WindowHandle handle);
std::string ClassEntryPath(const std::string& bus, const std::string& class_name,
                           WindowHandle handle);

// Outcome of connecting to a window's socket.
struct Connection {
  UniqueFd fd;        // connected, non-blocking; invalid on failure
  int error = 0;      // errno of the failure
  // The window exists, connected or not: EAGAIN means its queue of waiting
  // connections is full because its owner does not accept now.
  bool WindowExists() const { return fd.Valid() || error == EAGAIN; }
};
// Connects without ever blocking: a window whose owner does not accept gives
// EAGAIN at once, to be tried again by the caller.
Connection ConnectToWindow(const std::string& bus, WindowHandle handle);

// The process that owns the window, from the credentials of its socket;
// nothing when the window does not accept a connection now.
std::optional<std::uint32_t> WindowOwnerProcess(const std::string& bus, WindowHandle handle);

// How long a sender keeps trying to reach a window that does not accept
// before it gives up as on a missing window.
inline constexpr std::chrono::seconds kBusyWindowLimit{5};

// A live window of the class, removing stale entries of dead processes.
std::optional<WindowHandle> FindLiveWindowOfClass(const std::string& bus,
                                                  const std::string& class_name);

// The frames that cross a connection. One message per connection: the sender
// writes a request, the receiver answers with a reply and both close.
enum class FrameKind : std::uint32_t { kCopyData = 1, kTimeChange = 2, kClose = 3 };

struct RequestHeader {
  std::uint32_t magic;  // kFrameMagic
  std::uint32_t kind;   // FrameKind
  std::uint64_t code;   // dwData of copy-data
  std::uint64_t size;   // payload bytes that follow
};
static_assert(sizeof(RequestHeader) == 24);

enum class ReplyStatus : std::uint64_t { kHandled = 0, kRefused = 1 };

struct Reply {
  std::uint64_t status;  // ReplyStatus
  std::int64_t result;   // the message result
};
static_assert(sizeof(Reply) == 16);

inline constexpr std::uint32_t kFrameMagic = 0x42574843;  // "CHWB"
// cbData is 32 bits wide on Windows; the bus accepts the same range.
inline constexpr std::uint64_t kMaxPayload = 0xFFFFFFFFull;

}  // namespace chimewell::platform::posix
