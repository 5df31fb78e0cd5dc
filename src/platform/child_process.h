// Starting another program and watching it end (used by the peer tool).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace chimewell::platform {

class ChildProcess {
 public:
  virtual ~ChildProcess() = default;  // leaves the process running
  virtual std::uint32_t Id() const = 0;
  // The exit code once the process has ended, waiting at most `timeout`.
  virtual std::optional<int> WaitForExit(std::chrono::milliseconds timeout) = 0;
  // Asks the process to end (POSIX: SIGTERM; Windows: TerminateProcess).
  virtual void RequestTermination() = 0;
  // The most memory the running process has had resident at once, in bytes
  // (POSIX: VmHWM of /proc/<pid>/status; Windows: PeakWorkingSetSize);
  // nullopt when the system does not say, or once the process has ended.
  virtual std::optional<std::uint64_t> PeakResidentBytes() const = 0;
};

// Starts `executable` with `arguments` (not including the program name) and
// the current environment plus `extra_environment`. Throws std::runtime_error
// when it cannot be started.
std::unique_ptr<ChildProcess> LaunchProcess(
    const std::string& executable, const std::vector<std::string>& arguments,
    const std::map<std::string, std::string>& extra_environment = {});

}  // namespace chimewell::platform
