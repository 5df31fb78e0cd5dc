#include "host/service_handover.h"

#include <cstdint>
#include <optional>
#include <sstream>
#include <thread>

#include "host/launch.h"
#include "platform/process.h"
#include "trace/trace.h"

namespace chimewell::host {
namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting launch looks at the lock and the record again.
constexpr std::chrono::milliseconds kHandoverPoll{20};

// The window the record names, when it is still the recording process's:
// the record outlives a crash, and a window handle may since name a window
// of some other program. Nothing while there is no record yet (the holder is
// still making its window).
std::optional<platform::WindowHandle> RecordedWindow(platform::FileSystem& files,
                                                     const std::string& user_data_dir) {
  const std::string path = ServiceWindowRecordPath(user_data_dir);
  if (!files.FileExists(path)) return std::nullopt;
  std::istringstream record(files.ReadWholeFile(path));
  platform::WindowHandle window = 0;
  std::uint32_t process = 0;
  if (!(record >> window >> process) || platform::WindowProcessId(window) != process) {
    return std::nullopt;
  }
  return window;
}

}  // namespace

std::string ServiceWindowRecordPath(const std::string& user_data_dir) {
  return user_data_dir + "service.window";
}

std::unique_ptr<platform::InstanceLock> TakeOverUserService(platform::FileSystem& files,
                                                            const std::string& user_data_dir,
                                                            std::chrono::milliseconds patience) {
  files.CreateDirectories(user_data_dir);
  if (auto lock = platform::TryInstanceLock(user_data_dir)) return lock;

  trace::WriteLog("A service of this user is running: asking it to close.");
  const auto started = Clock::now();
  platform::WindowHandle asked = 0;
  for (;;) {
    // The record may still name a window of an earlier holder, or none yet:
    // each window it names is asked once.
    const auto window = RecordedWindow(files, user_data_dir);
    if (window && *window != asked &&
        platform::PostClose(*window, platform::CurrentProcessId())) {
      asked = *window;
      trace::WriteLogFmt("Asked window 0x%x to close.", asked);
    }
    std::this_thread::sleep_for(kHandoverPoll);
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    if (auto lock = platform::TryInstanceLock(user_data_dir)) {
      trace::WriteLogFmt("The running service ended after %d ms.", static_cast<int>(waited.count()));
      return lock;
    }
    if (waited >= patience) {
      trace::WriteErrorFmt("The running service did not end within %d ms: this launch ends without serving.",
                           static_cast<int>(patience.count()));
      return nullptr;
    }
  }
}

void RecordServiceWindow(platform::FileSystem& files, const std::string& user_data_dir,
                         platform::WindowHandle window) {
  platform::ReplaceFileAtomically(files, ServiceWindowRecordPath(user_data_dir),
                                  std::to_string(window) + " " +
                                      std::to_string(platform::CurrentProcessId()));
}

}  // namespace chimewell::host
