#include "host/process_entry.h"

#include <filesystem>

#include "host/ReminderUtils.h"
#include "host/frmChimewell.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/message_loop.h"
#include "platform/process.h"
#include "trace/uLog.h"

namespace chimewell::host {
namespace {

std::string ExecutableFileName() {
  const std::string path = platform::ExecutablePath();
  const auto cut = path.find_last_of(std::string("/") + platform::PathSeparator());
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

int RunProcess() {
  trace::WriteLog(ExecutableFileName() + " start with " + platform::CommandLine());
  if (!CheckLaunchContext()) return 0;
  try {
    auto loop = platform::CreateMessageLoop();
    // Handlers trace their own errors; this is the last resort: trace it and
    // show it, then carry on.
    loop->SetErrorReporter([](const std::string& message) {
      trace::WriteError(message);
      platform::ShowErrorMessage(kServiceWindowTitle, message);
    });
    TfrmChimewell frmChimewell(*loop, platform::SystemClock(), platform::RealFileSystem(),
                               ProcessLaunchValues());
    loop->Run();
  } catch (const std::exception& error) {
    trace::WriteException("Application", error);
  }
  return 0;
}

}  // namespace chimewell::host
