#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <stdexcept>

#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/posix/unique_fd.h"

namespace chimewell::platform {
namespace {

class FlockInstanceLock final : public InstanceLock {
 public:
  explicit FlockInstanceLock(posix::UniqueFd fd) : fd_(std::move(fd)) {}

 private:
  // Closing the descriptor, or the end of the process, releases the flock.
  posix::UniqueFd fd_;
};

}  // namespace

std::unique_ptr<InstanceLock> TryInstanceLock(const std::string& folder) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  path += "service.lock";
  // Close-on-exec: a child must not keep the lock after this process ends.
  posix::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.Valid()) {
    throw std::runtime_error("open " + path + " failed : " + SystemErrorText(errno));
  }
  while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return nullptr;
    throw std::runtime_error("flock " + path + " failed : " + SystemErrorText(errno));
  }
  return std::make_unique<FlockInstanceLock>(std::move(fd));
}

}  // namespace chimewell::platform
