#include "host/process_entry.h"

#include <filesystem>

#include "host/launch.h"
#include "host/service.h"
#include "host/service_handover.h"
#include "host/storage_paths.h"
#include "platform/clock.h"
#include "platform/documents.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/message_loop.h"
#include "platform/process.h"
#include "trace/trace.h"

namespace chimewell::host {
namespace {

std::string ExecutableFileName() {
  const std::string path = platform::ExecutablePath();
  const auto cut = path.find_last_of(std::string("/") + platform::PathSeparator());
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// A service that cannot say where its window is still serves; the next
// launch for its user then waits in vain and gives up.
void RecordWindow(platform::FileSystem& files, const std::string& user_data_dir,
                  platform::WindowHandle window) {
  try {
    RecordServiceWindow(files, user_data_dir, window);
  } catch (const std::exception& error) {
    trace::WriteException("RecordServiceWindow", error);
  }
}

// True when the process may run: a user id and a live calendar view window.
// Traces why not.
bool CheckLaunchContext(const LaunchValues& launch) {
  // The user id becomes a folder name as it is: one that would climb out of
  // the users folder or into another user's is refused like a missing one.
  if (!platform::IsOneFolderName(launch.user_id)) {
    trace::WriteError("Can not Get userid data.");
    return false;
  }
  const platform::WindowHandle view = launch.calendar_view_wnd;
  if (view != 0 && platform::IsWindow(view)) {
    trace::WriteLogFmt("user : %s , CalendarVeiwWnd : 0x%x", launch.user_id, view);
    return true;
  }
  trace::WriteError("Can not Get CalendarVeiwWnd data.");
  return false;
}

}  // namespace

int RunProcess() {
  trace::WriteLog(ExecutableFileName() + " start with " + platform::CommandLine());
  const LaunchValues launch = ProcessLaunchValues();
  if (!CheckLaunchContext(launch)) return 0;
  const StoragePaths paths = ProcessStoragePaths(launch.user_id);
  const std::string& user_data_dir = paths.user_data_dir;
  platform::FileSystem& files = platform::RealFileSystem();
  std::unique_ptr<platform::InstanceLock> service_lock;
  try {
    service_lock = TakeOverUserService(files, user_data_dir);
    if (!service_lock) return 0;
  } catch (const std::exception& error) {
    // Without a lock there is nothing to take over from; the store's own
    // start-up then says what is wrong with the folder.
    trace::WriteException("TakeOverUserService", error);
  }
  try {
    auto loop = platform::CreateMessageLoop();
    // Handlers trace their own errors; this is the last resort: trace it and
    // show it, then carry on.
    loop->SetErrorReporter([](const std::string& message) {
      trace::WriteError(message);
      platform::ShowErrorMessage(kServiceWindowTitle, message);
    });
    TfrmChimewell frmChimewell(*loop, platform::SystemClock(), files, launch, paths);
    if (service_lock) RecordWindow(files, user_data_dir, frmChimewell.Handle());
    loop->Run();
  } catch (const std::exception& error) {
    trace::WriteException("Application", error);
  }
  return 0;
}

}  // namespace chimewell::host
