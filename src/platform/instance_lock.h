// A lock that one process at a time may hold and that the system releases
// when that process ends, however it ends (a crash or a kill included).
#pragma once

#include <memory>
#include <string>

namespace chimewell::platform {

class InstanceLock {
 public:
  virtual ~InstanceLock() = default;  // releases the lock
};

// Takes the lock that guards `folder` without waiting; nullptr while another
// process holds it. POSIX: flock on the file "service.lock" in the folder,
// which must exist. Windows: a named mutex in the session's namespace
// (Local\), named after the folder's path, letter case folded as the file
// system does. Throws std::runtime_error when the lock cannot be made at all.
std::unique_ptr<InstanceLock> TryInstanceLock(const std::string& folder);

}  // namespace chimewell::platform
