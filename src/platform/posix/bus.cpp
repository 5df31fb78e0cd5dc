#include "platform/posix/bus.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "platform/process.h"

namespace chimewell::platform::posix {
namespace {

std::string Hex8(WindowHandle handle) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", handle);
  return text;
}

std::optional<WindowHandle> ParseHex8(const std::string& text) {
  if (text.size() != 8) return std::nullopt;
  WindowHandle value = 0;
  for (char c : text) {
    int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<WindowHandle>(digit);
  }
  if (value == 0) return std::nullopt;
  return value;
}

std::string WithSlash(std::string folder) {
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string HomeFolder() {
  if (std::string home = GetEnvironmentVariable("HOME"); !home.empty()) return home;
  const passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

// This machine's name, usable as part of a file name.
std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  std::string host = name;
  for (char& c : host) {
    if (c == '/') c = '_';
  }
  return host;
}

// Creates each missing folder of `path` below the root with mode 0700.
void CreateParents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::runtime_error("Can not create the window bus folder " + path + ": " +
                               std::strerror(errno) + " (" + parent + ")");
    }
  }
}

}  // namespace

std::string BusDirectory() {
  if (std::string runtime = GetEnvironmentVariable("XDG_RUNTIME_DIR"); !runtime.empty()) {
    return WithSlash(runtime) + "chimewell-bus";
  }
  const std::string home = HomeFolder();
  if (home.empty()) {
    throw std::runtime_error(
        "No folder for the window bus: neither XDG_RUNTIME_DIR nor a home folder is set");
  }
  return WithSlash(home) + ".cache/chimewell/bus-" + HostName();
}

void EnsureSafeBusDirectory(const std::string& bus) {
  CreateParents(bus);
  if (::mkdir(bus.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::runtime_error("Can not create the window bus folder " + bus + ": " +
                             std::strerror(errno));
  }
  struct stat info {};
  if (::lstat(bus.c_str(), &info) != 0) {
    throw std::runtime_error("Can not read the window bus folder " + bus + ": " +
                             std::strerror(errno));
  }
  if (!S_ISDIR(info.st_mode)) {
    throw std::runtime_error("Unsafe window bus folder " + bus + ": not a folder");
  }
  if (info.st_uid != ::geteuid()) {
    throw std::runtime_error("Unsafe window bus folder " + bus + ": owned by user " +
                             std::to_string(info.st_uid));
  }
  if ((info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    throw std::runtime_error("Unsafe window bus folder " + bus + ": mode " + mode +
                             " lets other users in (must be 0700)");
  }
}

std::string WindowSocketPath(const std::string& bus, WindowHandle handle) {
  return bus + "/" + Hex8(handle);
}

WindowAddress WindowSocketAddress(const std::string& bus, WindowHandle handle) {
  WindowAddress result;
  result.address.sun_family = AF_UNIX;
  std::string path = WindowSocketPath(bus, handle);
  if (path.size() >= sizeof result.address.sun_path) {
    result.folder.Reset(::open(bus.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!result.folder.Valid()) {
      result.error = errno;
      return result;
    }
    path = "/proc/self/fd/" + std::to_string(result.folder.Get()) + "/" + Hex8(handle);
  }
  std::memcpy(result.address.sun_path, path.c_str(), path.size() + 1);
  return result;
}

std::string ClassEntryPath(const std::string& bus, const std::string& class_name,
                           WindowHandle handle) {
  return bus + "/class." + class_name + "." + Hex8(handle);
}

std::optional<std::uint32_t> WindowOwnerProcess(const std::string& bus, WindowHandle handle) {
  const Connection connection = ConnectToWindow(bus, handle);
  if (!connection.fd.Valid()) return std::nullopt;
  ucred owner{};
  socklen_t length = sizeof owner;
  if (::getsockopt(connection.fd.Get(), SOL_SOCKET, SO_PEERCRED, &owner, &length) != 0 ||
      owner.pid <= 0) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(owner.pid);
}

Connection ConnectToWindow(const std::string& bus, WindowHandle handle) {
  Connection connection;
  if (handle == 0) {
    connection.error = ENOENT;
    return connection;
  }
  const WindowAddress address = WindowSocketAddress(bus, handle);
  if (address.error != 0) {
    connection.error = address.error;
    return connection;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    connection.error = errno;
    return connection;
  }
  // Non-blocking: a blocking connect waits, without limit, for an owner that
  // does not accept while its queue is full. A local connect is otherwise
  // done at once; EINPROGRESS leaves the rest to the exchange, which polls.
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address.address),
                sizeof address.address) != 0 &&
      errno != EINPROGRESS) {
    connection.error = errno;
    return connection;
  }
  connection.fd = std::move(fd);
  return connection;
}

std::optional<WindowHandle> FindLiveWindowOfClass(const std::string& bus,
                                                  const std::string& class_name) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(bus.c_str()), ::closedir);
  if (!dir) return std::nullopt;
  const std::string prefix = "class." + class_name + ".";
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + 8 || name.compare(0, prefix.size(), prefix) != 0) continue;
    auto handle = ParseHex8(name.substr(prefix.size()));
    if (!handle) continue;
    Connection probe = ConnectToWindow(bus, *handle);
    if (probe.WindowExists()) return handle;
    if (probe.error == ECONNREFUSED || probe.error == ENOENT) {
      // Left behind by a process that died without cleaning up.
      ::unlink((bus + "/" + name).c_str());
      if (probe.error == ECONNREFUSED) ::unlink(WindowSocketPath(bus, *handle).c_str());
    }
  }
  return std::nullopt;
}

}  // namespace chimewell::platform::posix
