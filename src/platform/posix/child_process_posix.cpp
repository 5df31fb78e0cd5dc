#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <stdexcept>
#include <thread>

#include "platform/child_process.h"

extern char** environ;

namespace chimewell::platform {
namespace {

class PosixChildProcess final : public ChildProcess {
 public:
  explicit PosixChildProcess(pid_t pid) : pid_(pid) {}
  ~PosixChildProcess() override {
    // Reap it if it has ended, so no zombie is left behind.
    if (!exit_code_) WaitForExit(std::chrono::milliseconds(0));
  }
  std::uint32_t Id() const override { return static_cast<std::uint32_t>(pid_); }
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exit_code_) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (done < 0 && errno != EINTR) {
        break;
      } else if (std::chrono::steady_clock::now() >= deadline) {
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    return exit_code_;
  }
  void RequestTermination() override {
    if (!exit_code_) ::kill(pid_, SIGTERM);
  }
  std::optional<std::uint64_t> PeakResidentBytes() const override {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      // "VmHWM:     5120 kB"
      if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    }
    return std::nullopt;
  }

 private:
  pid_t pid_;
  std::optional<int> exit_code_;
};

}  // namespace

std::unique_ptr<ChildProcess> LaunchProcess(
    const std::string& executable, const std::vector<std::string>& arguments,
    const std::map<std::string, std::string>& extra_environment) {
  std::vector<std::string> argv_text{executable};
  argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& text : argv_text) argv.push_back(text.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_text;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (!extra_environment.contains(name)) env_text.push_back(text);
  }
  for (const auto& [name, value] : extra_environment) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);

  // The child starts with the default signal mask: a message loop in this
  // process blocks SIGTERM/SIGINT, which the child must not inherit.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int error =
      ::posix_spawn(&pid, executable.c_str(), nullptr, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    throw std::runtime_error("Can not start " + executable + ": " + std::strerror(error));
  }
  return std::make_unique<PosixChildProcess>(pid);
}

}  // namespace chimewell::platform
