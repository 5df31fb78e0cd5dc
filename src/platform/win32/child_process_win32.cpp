#include "platform/win32/windows_api.h"

#include <psapi.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/win32/launch_command_line.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace chimewell::platform {
namespace {

// The exit code a process ended by RequestTermination reports.
constexpr UINT kTerminatedExitCode = 1;

class Win32ChildProcess final : public ChildProcess {
 public:
  Win32ChildProcess(win32::UniqueHandle process, std::uint32_t id)
      : process_(std::move(process)), id_(id) {}
  std::uint32_t Id() const override { return id_; }
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout) override {
    if (exit_code_) return exit_code_;
    const auto wait = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1);
    if (::WaitForSingleObject(process_.Get(), static_cast<DWORD>(wait)) != WAIT_OBJECT_0) {
      return std::nullopt;
    }
    DWORD code = 0;
    if (::GetExitCodeProcess(process_.Get(), &code)) exit_code_ = static_cast<int>(code);
    return exit_code_;
  }
  void RequestTermination() override {
    if (!exit_code_) ::TerminateProcess(process_.Get(), kTerminatedExitCode);
  }
  std::optional<std::uint64_t> PeakResidentBytes() const override {
    // The kernel32 entry point (Windows 7 and later): no psapi.dll import.
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (exit_code_ || !::K32GetProcessMemoryInfo(process_.Get(), &counters, sizeof counters)) {
      return std::nullopt;
    }
    return counters.PeakWorkingSetSize;
  }

 private:
  win32::UniqueHandle process_;
  std::uint32_t id_;
  std::optional<int> exit_code_;
};

bool SameName(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The name of an environment entry. Entries such as "=C:=C:\dir" (the current
// folder of each drive) begin with '=', which belongs to the name.
std::wstring_view EntryName(std::wstring_view entry) {
  return entry.substr(0, entry.find(L'=', 1));
}

// This process's environment with `extra` set over it, as a block for
// CreateProcessW: NUL-terminated entries, then one more NUL. Names compare
// without regard to case, as Windows does.
std::wstring EnvironmentBlock(const std::map<std::string, std::string>& extra) {
  std::vector<std::wstring> overrides;
  for (const auto& [name, value] : extra) overrides.push_back(win32::Widen(name + "=" + value));

  std::wstring block;
  const std::unique_ptr<wchar_t, decltype(&::FreeEnvironmentStringsW)> current(
      ::GetEnvironmentStringsW(), ::FreeEnvironmentStringsW);
  for (const wchar_t* entry = current.get(); entry != nullptr && *entry != L'\0';) {
    const std::wstring_view text(entry);
    const bool replaced =
        std::any_of(overrides.begin(), overrides.end(),
                    [&](const std::wstring& o) { return SameName(EntryName(o), EntryName(text)); });
    if (!replaced) block.append(text).push_back(L'\0');
    entry += text.size() + 1;
  }
  for (const std::wstring& entry : overrides) block.append(entry).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

}  // namespace

std::unique_ptr<ChildProcess> LaunchProcess(
    const std::string& executable, const std::vector<std::string>& arguments,
    const std::map<std::string, std::string>& extra_environment) {
  std::vector<std::string> all{executable};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::wstring command_line;
  try {
    // The child reads its arguments back from this line with SplitCommandLine.
    command_line = win32::Widen(win32::JoinLaunchCommandLine(all));
  } catch (const std::invalid_argument& error) {
    throw std::runtime_error("Can not start " + executable + ": " + error.what());
  }
  std::wstring environment;
  DWORD flags = 0;
  if (!extra_environment.empty()) {
    environment = EnvironmentBlock(extra_environment);
    flags |= CREATE_UNICODE_ENVIRONMENT;
  }
  const std::wstring application = win32::Widen(executable);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, FALSE, flags,
                        environment.empty() ? nullptr : environment.data(), nullptr, &startup,
                        &info)) {
    throw std::runtime_error("Can not start " + executable + ": " +
                             SystemErrorText(static_cast<int>(::GetLastError())));
  }
  win32::UniqueHandle thread(info.hThread);
  return std::make_unique<Win32ChildProcess>(win32::UniqueHandle(info.hProcess), info.dwProcessId);
}

}  // namespace chimewell::platform
