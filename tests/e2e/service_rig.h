// A live service process for reliability tests: the test process plays the
// calendar (a view window on a thread of its own, sends from the calling
// thread), starts and kills the real chimewell executable, and looks at its
// store, today files, trace and resource use.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "testing/temp_folder.h"

namespace chimewell::e2e {

// One row of the Reminders table as "Cal|Item|Type|Enabled|Start|Repeat|End|LastNotified"
// (LastNotified "-" when NULL), ordered by CalendarID then ItemID.
using StoreRows = std::vector<std::string>;

class ServiceRig {
 public:
  // A private folder (bus, Documents) and the calendar's view window. The bus
  // is under XDG_RUNTIME_DIR (the private folder), unless `bus_home` is given:
  // then XDG_RUNTIME_DIR is unset for this process and the service, and the
  // bus falls back to a folder under HOME = `bus_home`.
  explicit ServiceRig(std::string bus_home = {});
  ~ServiceRig();  // kills a service still running, closes the view window
  ServiceRig(const ServiceRig&) = delete;
  ServiceRig& operator=(const ServiceRig&) = delete;

  const std::string& Root() const { return root_; }
  const std::string& User() const { return user_; }
  std::string Store() const;       // reminder.db of the user
  std::string CacheDir() const;    // the user's cache folder, with "/"
  std::string TodayDir() const;    // the user's today folder, with "/"
  platform::WindowHandle View() const { return view_handle_; }

  // Starts the service ("<user>|<view>" unless `parameter` is given) with the
  // trace on, written to a file of its own; `executable` defaults to the
  // build's chimewell.
  void Start(std::optional<std::string> parameter = std::nullopt,
             const std::string& executable = {});
  // Starts another service beside the running one, which stays running and
  // reachable by its pid; the new one becomes the rig's service.
  void StartAnother(std::optional<std::string> parameter = std::nullopt);
  // Starts another program in the service's place and environment (bus,
  // Documents, trace file): chimectl, for example.
  void StartCommand(std::vector<std::string> command);
  pid_t Pid() const { return pid_; }
  bool Running() const { return pid_ > 0; }
  // Waits until the service is done starting: its start-up rebuild, with
  // the notification, is over. False after `timeout` or once it ended.
  bool WaitUntilServing(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void Kill9();
  // Asks the service window to close; true when it took the request.
  bool Close();
  // The exit code once the service ended (128 + signal when killed), or
  // nothing after `timeout`.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Sends a command (copy-data code 10) from the calling thread; nothing when
  // the service did not answer. Each calling thread gets its own loop.
  std::optional<std::intptr_t> Send(const std::string& text, std::uint64_t code = 10);
  // Closes the calendar's view window (the calendar went away).
  void CloseView();
  int Notifications() const { return notifications_; }

  // Sends to one window rather than the first of the service's class.
  std::optional<std::intptr_t> SendTo(platform::WindowHandle window, const std::string& text);
  // The window the running service of the user recorded; 0 when none.
  platform::WindowHandle RecordedServiceWindow() const;

  // The trace texts of the latest start (what follows the fixed columns).
  std::vector<std::string> TraceTexts() const;
  // Of any service this rig started; its exit code as WaitForExit gives it.
  std::vector<std::string> TraceTextsOf(pid_t pid) const;
  std::optional<int> WaitForExitOf(pid_t pid, std::chrono::milliseconds timeout);

  // Resident memory (VmRSS) and its peak (VmHWM) in KiB, and open fds.
  long ResidentKiB() const;
  long PeakResidentKiB() const;
  std::size_t OpenFileDescriptors() const;

  // The store, read through a connection of this process.
  StoreRows Rows() const;
  std::string IntegrityCheck() const;  // "ok" for a sound store
  void Exec(const std::string& sql) const;

 private:
  long StatusKiB(const char* field) const;

  testing_support::TempFolder folder_{"cw-rig"};
  const std::string root_ = folder_.Path();
  std::string user_ = "u1";
  std::string bus_home_;
  std::string trace_path_;
  std::map<pid_t, std::string> trace_paths_;  // of every start
  std::vector<pid_t> others_;                 // started before, maybe running
  int starts_ = 0;
  pid_t pid_ = -1;
  std::atomic<int> notifications_{0};
  platform::WindowHandle view_handle_ = 0;
  std::thread view_thread_;
  class ViewHandler;
  std::unique_ptr<ViewHandler> view_handler_;
};

// The trace texts of a service's trace file (what follows the fixed columns).
std::vector<std::string> ReadTraceTexts(const std::string& path);

// True when `texts` holds `wanted` in this order (other texts may lie between).
bool HasInOrder(const std::vector<std::string>& texts, const std::vector<std::string>& wanted);

// Whether this build runs under AddressSanitizer: memory figures then say
// nothing about the service itself, and everything runs slower.
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

}  // namespace chimewell::e2e
