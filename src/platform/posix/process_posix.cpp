#include <malloc.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/command_line.h"
#include "platform/process.h"

namespace chimewell::platform {
namespace {

// argv as main received it; written once before any other thread exists.
std::vector<std::string>& RecordedArguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

}  // namespace

void RecordArguments(int argc, char** argv) {
  auto& arguments = RecordedArguments();
  arguments.assign(argv, argv + argc);
}

std::vector<std::string> CommandLineArguments() { return RecordedArguments(); }

std::vector<std::string> ToolArguments() { return RecordedArguments(); }

std::string CommandLine() { return JoinShellQuoted(RecordedArguments()); }

void KeepFreedMemoryForReuse() {
#ifdef __GLIBC__
  // glibc gives back a free top of the heap over 128 KiB and serves blocks
  // over 128 KiB from mappings of their own, unmapped when freed. Raised
  // this far, a store of a few hundred thousand reminders is served from
  // memory kept; the limits bound what is kept beyond that.
  constexpr int kKeptTop = 64 << 20;
  constexpr int kOwnMappingFrom = 32 << 20;
  ::mallopt(M_TRIM_THRESHOLD, kKeptTop);
  ::mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
#endif
}

std::string ExecutablePath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string GetEnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? std::string(value) : std::string();
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

char PathSeparator() { return '/'; }

}  // namespace chimewell::platform
