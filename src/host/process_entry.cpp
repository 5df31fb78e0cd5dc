#include "host/process_entry.h"

#include <filesystem>

#include "host/launch.h"
#include "host/service.h"
#include "host/service_handover.h"
#include "platform/clock.h"
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

}  // namespace

int RunProcess() {
  trace::WriteLog(ExecutableFileName() + " start with " + platform::CommandLine());
  if (!CheckLaunchContext()) return 0;
  const LaunchValues launch = ProcessLaunchValues();
  const std::string user_data_dir = GetUserDataDir(launch.user_id);
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
    TfrmChimewell frmChimewell(*loop, platform::SystemClock(), files, launch);
    if (service_lock) RecordWindow(files, user_data_dir, frmChimewell.Handle());
    loop->Run();
  } catch (const std::exception& error) {
    trace::WriteException("Application", error);
  }
  return 0;
}

}  // namespace chimewell::host
