// The Win32 backend's tests: the message-loop contract that the POSIX backend
// passes too (testing/message_loop_contract.cpp), then what the end-to-end scenarios
// do not reach of this backend alone: power notices, foreign window classes,
// handle conversion, the debug-output listener, launching with arguments and
// environment, the code page's edge cases. The cross build has no test
// framework, so this is a plain program with a small check helper; the native
// wine_e2e_test runs it under Wine (code page 1252) and passes when it exits
// 0. `<exe> hold PATH` and `<exe> hold-locked PATH` are helpers of the harness instead:
// see RunHolding; `<exe> writes COUNT FOLDER` measures file writes: see
// RunWriteTiming.
#include "platform/win32/windows_api.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <future>
#include <iostream>
#include <optional>
#include <source_location>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/code_page.h"
#include "platform/debug_output.h"
#include "platform/files.h"
#include "platform/message_loop.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/win32/wide.h"
#include "platform/win32/window_handle.h"
#include "testing/message_loop_contract.h"

namespace chimewell::platform {
namespace {

using namespace std::chrono_literals;
namespace loop_contract = testing_support::loop_contract;
using loop_contract::Check;
using Strings = std::vector<std::string>;

// Counts failed checks of one test and prints where they are.
class Checks final : public Check {
 public:
  int Failed() const { return failed_; }

 private:
  void Fail(const std::string& what, const std::source_location& where) override {
    ++failed_;
    std::printf("  %s:%u: failed: %s\n", where.file_name(), static_cast<unsigned>(where.line()),
                what.c_str());
  }
  int failed_ = 0;
};

std::string Join(const Strings& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += "[" + text + "]";
  return joined;
}

class RecordingHandler : public WindowHandler {
 public:
  Strings events;
  std::intptr_t OnCopyData(std::uint64_t code, std::string_view payload) override {
    events.push_back("copy " + std::to_string(code) + " " + std::string(payload));
    return 7;
  }
  void OnTimeChange() override { events.push_back("timechange"); }
  void OnResume() override { events.push_back("resume"); }
  void OnClose(std::uint32_t) override { events.push_back("close"); }
};

void PowerNoticesReachTheHandler(Check& check) {
  auto loop = CreateMessageLoop();
  RecordingHandler handler;
  auto window = loop->CreateHiddenWindow("CwTestWnd", "Test", handler);
  const HWND hwnd = win32::ToHwnd(window->Handle());
  check.That(!::IsWindowVisible(hwnd) && ::GetParent(hwnd) == nullptr, "hidden and top-level");
  // Only the resume counts; going to sleep is not an event.
  ::SendMessageW(hwnd, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
  ::SendMessageW(hwnd, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
  check.Equal(handler.events, Strings{"resume"}, "events: " + Join(handler.events));
}

void ForeignWindowClassIsRefused(Check& check) {
  auto loop = CreateMessageLoop();
  RecordingHandler handler;
  try {
    loop->CreateHiddenWindow("Button", "Test", handler);
    check.That(false, "a window of the system's Button class was made");
  } catch (const std::runtime_error& error) {
    check.That(std::string(error.what()).find("Button") != std::string::npos, error.what());
  }
}

void HandlesConvertAsAcrossProcesses(Check& check) {
  const auto pointer = [](std::intptr_t value) { return reinterpret_cast<HWND>(value); };
  check.Equal(win32::ToWindowHandle(pointer(0x10064)), 0x10064u, "small handle");
  check.Equal(win32::ToWindowHandle(pointer(static_cast<std::intptr_t>(0x1234567880001234))),
              0x80001234u, "truncated to the low 32 bits");
  check.Equal(win32::ToHwnd(0x80001234u), pointer(static_cast<std::intptr_t>(0xFFFFFFFF80001234)),
              "sign-extended back");
  check.Equal(win32::ToHwnd(0x7FFFFFFFu), pointer(0x7FFFFFFF), "positive stays positive");
}

void DebugOutputReachesTheListener(Check& check) {
  Strings records;
  std::promise<void> opened;
  bool returned = false;
  const std::uint32_t self = CurrentProcessId();
  std::jthread listener([&](std::stop_token stop) {
    returned = ListenToDebugOutput(
        [&](std::uint32_t process_id, std::string_view text) {
          if (process_id == self) records.emplace_back(text);
          return true;
        },
        stop, [&] { opened.set_value(); });
  });
  opened.get_future().wait();
  const std::string long_text(3000, 'x');
  // The channel is ANSI: a lone surrogate, like any character the code page
  // lacks, arrives as '?'.
  for (const std::string& text :
       {std::string("plain"), std::string("caf\u00e9"), long_text, std::string("a\xED\xA0\x80z")}) {
    OutputDebugText(text);
  }
  // The last record is handed over before the stop: it must still arrive.
  listener.request_stop();
  listener.join();
  check.That(returned, "the listener returns true once stopped");
  check.Equal(records, Strings{"plain", "caf\u00e9", long_text, "a?z"},
              "records: " + Join(records).substr(0, 200));
}

void CodePageConversionsHaveNoBestFit(Check& check) {
  if (!check.Equal(::GetACP(), 1252u, "runs under code page 1252")) return;
  struct Case {
    std::string utf8, ansi;
  };
  const Case cases[] = {
      {"caf\u00e9 \u20ac", "caf\xE9 \x80"},
      // Best fit would give 'a' and a real double quote: both must stay foreign.
      {"\u0101", "?"},
      {"{\"t\":\"\uff02}", "{\"t\":\"?}"},
      {"\u63d0", "?"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) check.Equal(Utf8ToAnsi(c.utf8), c.ansi, "to ANSI: " + c.utf8);
  check.Equal(AnsiToUtf8("caf\xE9 \x80"), std::string("caf\u00e9 \u20ac"), "from ANSI");
  check.Equal(AnsiToUtf8(""), std::string(), "empty");
}

// The child side of the launch checks: `<exe> child VERB ...`.
int RunChild(const Strings& arguments) {
  const std::string& verb = arguments[2];
  if (verb == "args") {
    const Strings expected = {"child", "args", "a b", "tab\there", "\u00e9\u63d0", "C:\\x\\"};
    return Strings(arguments.begin() + 1, arguments.end()) == expected ? 0 : 10;
  }
  if (verb == "env") return std::atoi(GetEnvironmentVariable(arguments[3]).c_str());
  if (verb == "sleep") ::Sleep(30000);
  return 0;
}

// `<exe> hold PATH`: sends each line of standard input as a reminder command
// (copy-data code 10, ANSI, as the calendar sends it) to the service window
// while PATH is open the way a reader that does not expect renames opens it
// (no FILE_SHARE_DELETE), so that replacing PATH fails meanwhile. The texts
// come on standard input because a command line can not carry a double quote.
// Prints each result; exits 0 when every command was delivered.
// `<exe> hold-locked PATH` also takes the byte range SQLite locks in PATH
// (from 1 GiB on) for itself, as another program in a write of the store
// would: the service can neither read nor write the store meanwhile.
int RunHolding(const std::string& path, bool locked) {
  HANDLE file = ::CreateFileW(win32::Widen(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("hold: can not open %s: %lu\n", path.c_str(), ::GetLastError());
    return 2;
  }
  OVERLAPPED lock_start{};
  lock_start.Offset = 0x40000000;  // SQLite's pending byte, then the reserved and shared ones
  constexpr DWORD kLockedBytes = 512;
  if (locked && !::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, kLockedBytes, 0,
                              &lock_start)) {
    std::printf("hold: can not lock %s: %lu\n", path.c_str(), ::GetLastError());
    ::CloseHandle(file);
    return 2;
  }
  int code = 0;
  auto loop = CreateMessageLoop();
  std::optional<WindowHandle> service;
  for (int tries = 0; !service && tries < 400; ++tries) {
    service = FindWindowByClass("ChimewellWnd");
    if (!service) ::Sleep(50);
  }
  if (!service) {
    std::printf("hold: no service window\n");
    code = 3;
  }
  for (std::string line; service && std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const SendResult sent = loop->SendCopyData(*service, 10, Utf8ToAnsi(line));
    if (!sent.delivered) code = 4;
    std::printf("%s\n", sent.delivered ? std::to_string(sent.result).c_str() : "not delivered");
  }
  ::CloseHandle(file);
  return code;
}

// Writes and copies replace what has the name and leave nothing beside it,
// nor does a delete. An existing read-only or hidden file is refused as
// CreateFileW with CREATE_ALWAYS refuses it (ERROR_ACCESS_DENIED), and keeps
// its content and attributes; a read-only file is not deleted either.
void WritesReplaceTheNameButNotReadOnlyOrHiddenFiles(Check& check) {
  wchar_t temp[MAX_PATH];
  const DWORD length = ::GetTempPathW(MAX_PATH, temp);
  const std::string folder = win32::Narrow(std::wstring(temp, length)) + "cw-files-" +
                             std::to_string(CurrentProcessId());
  FileSystem& files = RealFileSystem();
  files.CreateDirectories(folder);
  const std::string plain = folder + "\\plain", source = folder + "\\source";
  files.WriteWholeFile(plain, "old");
  files.WriteWholeFile(plain, "new");
  check.Equal(files.ReadWholeFile(plain), std::string("new"), "written over");
  files.WriteWholeFile(source, "copied");
  files.CopyFileReplacing(source, plain);
  check.Equal(files.ReadWholeFile(plain), std::string("copied"), "copied over");

  const std::pair<const char*, DWORD> guarded[] = {{"read-only", FILE_ATTRIBUTE_READONLY},
                                                   {"hidden", FILE_ATTRIBUTE_HIDDEN}};
  for (const auto& [name, attribute] : guarded) {
    const std::string path = folder + "\\" + name;
    const std::wstring wide = win32::Widen(path);
    files.WriteWholeFile(path, "kept");
    ::SetFileAttributesW(wide.c_str(), attribute);
    const std::pair<FileStep, std::function<void()>> writes[] = {
        {FileStep::kWrite, [&] { files.WriteWholeFile(path, "x"); }},
        {FileStep::kCopy, [&] { files.CopyFileReplacing(source, path); }}};
    for (const auto& [step, write] : writes) {
      try {
        write();
        check.That(false, std::string(name) + ": overwritten");
      } catch (const FileError& error) {
        check.That(error.Step() == step && error.Code() == ERROR_ACCESS_DENIED,
                   std::string(name) + ": " + error.what());
      }
    }
    if (attribute == FILE_ATTRIBUTE_READONLY) {
      try {
        files.DeleteFile(path);
        check.That(false, "read-only: deleted");
      } catch (const FileError& error) {
        check.That(error.Step() == FileStep::kDelete && error.Code() == ERROR_ACCESS_DENIED,
                   std::string("read-only: ") + error.what());
      }
    }
    check.Equal(files.ReadWholeFile(path), std::string("kept"), std::string(name) + ": content");
    check.That((::GetFileAttributesW(wide.c_str()) & attribute) != 0,
               std::string(name) + ": attribute kept");
    ::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
  }

  files.WriteWholeFile(folder + "\\deleted", "x");
  files.DeleteFile(folder + "\\deleted");
  check.That(!files.FileExists(folder + "\\deleted"), "deleted");

  Strings names;
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW(win32::Widen(folder + "\\*").c_str(), &found);
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(search, &found)) {
    const std::string name = win32::Narrow(found.cFileName);
    if (name != "." && name != "..") names.push_back(name);
    ::DeleteFileW(win32::Widen(folder + "\\" + name).c_str());
  }
  if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
  ::RemoveDirectoryW(win32::Widen(folder).c_str());
  std::sort(names.begin(), names.end());
  check.Equal(Join(names), std::string("[hidden][plain][read-only][source]"), "nothing beside");
}

// `<exe> writes COUNT FOLDER`: what the service's two kinds of file write
// cost, each COUNT times over the same name in FOLDER: a statement dump
// (WriteWholeFile) and a today file (ReplaceFileAtomically: the "~" file,
// its flush and the move). Prints milliseconds per file.
int RunWriteTiming(int count, const std::string& folder) {
  if (count <= 0) return 2;
  FileSystem& files = RealFileSystem();
  const std::string text(2048, 'x');  // a today file of a dozen reminders
  const auto time = [&](const char* what, const std::function<void()>& write) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) write();
    const std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
    std::printf("%s: %.3f ms per file\n", what, spent.count() / count);
  };
  time("dump", [&] { files.WriteWholeFile(folder + "\\~~reminder.dat", text); });
  time("today", [&] { ReplaceFileAtomically(files, folder + "\\reminder.json", text); });
  return 0;
}

void LaunchedProcessesGetArgumentsAndEnvironment(Check& check) {
  const std::string self = ExecutablePath();
  check.That(self.size() > 23 && self.substr(self.size() - 23) == "\\win32_backend_test.exe",
             "ExecutablePath: " + self);

  // An empty argument is dropped by the reader of the command line.
  auto child =
      LaunchProcess(self, {"child", "args", "a b", "", "tab\there", "\u00e9\u63d0", "C:\\x\\"});
  check.Equal(child->WaitForExit(10s), std::optional(0), "the child read its arguments back");

  // Names compare without case: the extra value replaces the inherited one.
  ::SetEnvironmentVariableW(L"CW_TEST_VALUE", L"3");
  child = LaunchProcess(self, {"child", "env", "CW_TEST_VALUE"}, {{"cw_test_value", "7"}});
  check.Equal(child->WaitForExit(10s), std::optional(7), "the child saw the extra environment");
  child = LaunchProcess(self, {"child", "env", "CW_TEST_VALUE"});
  check.Equal(child->WaitForExit(10s), std::optional(3), "the child inherits the environment");

  child = LaunchProcess(self, {"child", "sleep"});
  check.That(child->Id() != 0 && child->Id() != CurrentProcessId(), "a process id of its own");
  check.Equal(child->WaitForExit(0ms), std::optional<int>(), "still running");
  child->RequestTermination();
  check.Equal(child->WaitForExit(10s), std::optional(1), "terminated with exit code 1");

  for (const auto& [exe, argument] :
       {std::pair<std::string, std::string>{"Z:\\no\\such.exe", "x"}, {self, "say \"hi\""}}) {
    try {
      LaunchProcess(exe, {argument});
      check.That(false, "launched " + exe + " " + argument);
    } catch (const std::runtime_error& error) {
      check.That(std::string(error.what()).rfind("Can not start ", 0) == 0, error.what());
    }
  }
}

void ProcessFacts(Check& check) {
  const std::string long_value(5000, 'v');
  ::SetEnvironmentVariableW(L"CW_TEST_LONG",
                            std::wstring(long_value.begin(), long_value.end()).c_str());
  check.Equal(GetEnvironmentVariable("CW_TEST_LONG"), long_value,
              "a value longer than the first buffer");
  check.Equal(GetEnvironmentVariable("CW_TEST_UNSET"), std::string(), "unset");
  check.Equal(PathSeparator(), '\\', "separator");
  check.Equal(CommandLineArguments().size(), 1u, "no arguments");

  const LocalDateTime now = SystemClock().LocalNow();
  check.That(now.year >= 2024 && now.month >= 1 && now.month <= 12, "a plausible local date");
  const std::int64_t unix_now = static_cast<std::int64_t>(std::time(nullptr));
  check.That(std::abs(SystemClock().UnixSeconds() - unix_now) <= 2, "UnixSeconds matches time()");

  std::promise<std::uint32_t> worker;
  StartDetachedThread([&] { worker.set_value(CurrentThreadId()); });
  auto worker_id = worker.get_future();
  check.That(worker_id.wait_for(5s) == std::future_status::ready, "the thread ran");
  check.That(worker_id.get() != CurrentThreadId(), "on a thread of its own");
}

// chimectl stops a listener at the end of every session, right after the
// service's last record, and a stop must end it every time and lose no record
// handed over before it, also on a busy machine, where a thread may be
// preempted anywhere. Rounds of start, one record and stop with every core
// kept busy, under a watchdog that fails the run instead of hanging it.
void ListenerEndsAtEveryStop(Check& check) {
  constexpr int kRounds = 1000;
  constexpr auto kRoundLimit = 10s;
  std::atomic<int> finished{0};
  std::atomic<bool> over{false};
  std::vector<std::thread> spinners;
  for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i) {
    spinners.emplace_back([&over] {
      while (!over.load(std::memory_order_relaxed)) {
      }
    });
  }
  std::thread watchdog([&] {
    int seen = -1;
    auto since = std::chrono::steady_clock::now();
    while (!over) {
      if (const int now = finished; now != seen) {
        seen = now;
        since = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - since > kRoundLimit) {
        std::printf("  round %d of stopping a listener did not end within 10 s\n", now);
        std::fflush(stdout);
        // Not exit(): the hung threads are this process's own.
        ::TerminateProcess(::GetCurrentProcess(), 1);
      }
      std::this_thread::sleep_for(50ms);
    }
  });
  int lost = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string last = "last record of round " + std::to_string(round);
    bool delivered = false;
    std::promise<void> opened;
    std::jthread listener([&](std::stop_token stop) {
      ListenToDebugOutput(
          [&](std::uint32_t, std::string_view text) {
            delivered = delivered || text == last;
            return true;
          },
          stop, [&opened] { opened.set_value(); });
    });
    opened.get_future().wait();
    OutputDebugText(last);
    listener.request_stop();
    listener.join();
    if (!delivered && lost++ < 3) std::printf("  round %d: its record was not delivered\n", round);
    ++finished;
  }
  over = true;
  watchdog.join();
  for (std::thread& spinner : spinners) spinner.join();
  check.Equal(finished.load(), kRounds, "rounds that ended");
  if (lost > 0) std::printf("  %d of %d rounds lost their record\n", lost, kRounds);
  check.Equal(lost, 0, "rounds whose record was lost");
}

}  // namespace
}  // namespace chimewell::platform

int main(int argc, char** argv) {
  using namespace chimewell::platform;
  RecordArguments(argc, argv);
  const auto arguments = CommandLineArguments();
  if (arguments.size() > 2 && arguments[1] == "child") return RunChild(arguments);
  if (arguments.size() == 3 && arguments[1] == "hold") return RunHolding(arguments[2], false);
  if (arguments.size() == 3 && arguments[1] == "hold-locked") return RunHolding(arguments[2], true);
  if (arguments.size() == 4 && arguments[1] == "writes") {
    return RunWriteTiming(std::atoi(arguments[2].c_str()), arguments[3]);
  }

  std::vector<loop_contract::Case> tests = loop_contract::MessageLoopCases();
  tests.insert(tests.end(), {
      {"PowerNoticesReachTheHandler", PowerNoticesReachTheHandler},
      {"ForeignWindowClassIsRefused", ForeignWindowClassIsRefused},
      {"HandlesConvertAsAcrossProcesses", HandlesConvertAsAcrossProcesses},
      {"DebugOutputReachesTheListener", DebugOutputReachesTheListener},
      {"ListenerEndsAtEveryStop", ListenerEndsAtEveryStop},
      {"CodePageConversionsHaveNoBestFit", CodePageConversionsHaveNoBestFit},
      {"LaunchedProcessesGetArgumentsAndEnvironment", LaunchedProcessesGetArgumentsAndEnvironment},
      {"ProcessFacts", ProcessFacts},
      {"WritesReplaceTheNameButNotReadOnlyOrHiddenFiles", WritesReplaceTheNameButNotReadOnlyOrHiddenFiles},
  });
  int passed = 0, failed = 0;
  for (const auto& [name, test] : tests) {
    Checks check;
    try {
      test(check);
    } catch (const std::exception& error) {
      check.That(false, std::string("threw: ") + error.what());
    }
    std::printf("%s %s\n", check.Failed() == 0 ? "PASS" : "FAIL", name);
    (check.Failed() == 0 ? passed : failed) += 1;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
