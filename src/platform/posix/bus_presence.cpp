#include "platform/posix/bus_presence.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/posix/bus.h"

namespace chimewell::platform::posix {
namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

}  // namespace

BusWindow::BusWindow(const std::string& class_name, std::mt19937& random) {
  if (class_name.empty() || class_name.find('/') != std::string::npos) {
    throw std::runtime_error("Invalid window class name '" + class_name + "'");
  }
  const std::string bus = BusDirectory();
  EnsureSafeBusDirectory(bus);

  listener_.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener_.Valid()) {
    throw std::runtime_error("Can not create a window socket: " + ErrnoText(errno));
  }
  std::uniform_int_distribution<WindowHandle> pick(1, 0x7FFFFFFF);
  for (int attempt = 0;; ++attempt) {
    const WindowHandle handle = pick(random);
    const std::string path = WindowSocketPath(bus, handle);
    const WindowAddress address = WindowSocketAddress(bus, handle);
    if (address.error != 0) {
      throw std::runtime_error("Can not open the window bus folder " + bus + ": " +
                               ErrnoText(address.error));
    }
    if (::bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address.address),
               sizeof address.address) == 0) {
      ::chmod(path.c_str(), 0600);
      handle_ = handle;
      socket_path_ = path;
      break;
    }
    if (errno != EADDRINUSE || attempt >= 100) {
      throw std::runtime_error("Can not create window socket " + path + ": " + ErrnoText(errno));
    }
    // Taken: by a live window (pick again) or a dead one's leftover (reuse).
    if (ConnectToWindow(bus, handle).error == ECONNREFUSED) ::unlink(path.c_str());
  }
  if (::listen(listener_.Get(), 128) != 0) {
    ::unlink(socket_path_.c_str());
    throw std::runtime_error("Can not listen on " + socket_path_ + ": " + ErrnoText(errno));
  }
  class_path_ = ClassEntryPath(bus, class_name, handle_);
  UniqueFd entry(::open(class_path_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600));
  if (!entry.Valid()) {
    ::unlink(socket_path_.c_str());
    throw std::runtime_error("Can not register window class " + class_path_ + ": " +
                             ErrnoText(errno));
  }
}

BusWindow::~BusWindow() {
  ::unlink(class_path_.c_str());
  ::unlink(socket_path_.c_str());
}

}  // namespace chimewell::platform::posix
