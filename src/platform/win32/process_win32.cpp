#include "platform/win32/windows_api.h"

#include <shellapi.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/command_line.h"
#include "platform/process.h"
#include "platform/win32/wide.h"

namespace chimewell::platform {

// The launcher's command line is the one source of truth; argv from the C
// runtime (split by other rules, possibly wildcard-expanded) is never used.
void RecordArguments(int, char**) {}

std::string CommandLine() { return win32::Narrow(::GetCommandLineW()); }

std::vector<std::string> CommandLineArguments() { return SplitCommandLine(CommandLine()); }

std::vector<std::string> ToolArguments() {
  int count = 0;
  LPWSTR* const split = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (split == nullptr) throw std::runtime_error("CommandLineToArgvW failed: " + std::to_string(::GetLastError()));
  // The system allocated the array with LocalAlloc; it goes back the same way.
  const std::unique_ptr<LPWSTR, decltype(&::LocalFree)> owned(split, &::LocalFree);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(win32::Narrow(split[i]));
  return arguments;
}

// Nothing to set: the C runtime's heap has no such setting, and SQLite, whose
// page cache is most of what a rebuild allocates, is built with a heap of its
// own that keeps its initial size committed (scripts/setup.sh).
void KeepFreedMemoryForReuse() {}

std::string ExecutablePath() {
  // Long paths do not fit MAX_PATH; grow until the answer is not cut short.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return win32::Narrow(buffer);
    }
    if (buffer.size() >= 65536) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string GetEnvironmentVariable(const std::string& name) {
  const std::wstring wide_name = win32::Widen(name);
  std::wstring value(256, L'\0');
  for (;;) {
    // The answer is the length without the NUL when it fits, the size needed
    // with the NUL when it does not, 0 when the variable is unset or empty.
    const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(),
                                                   static_cast<DWORD>(value.size()));
    if (length < value.size()) {
      value.resize(length);
      return win32::Narrow(value);
    }
    value.resize(length);
  }
}

std::uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

char PathSeparator() { return '\\'; }

}  // namespace chimewell::platform
