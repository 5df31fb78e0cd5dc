// One service per user, the newest wins: a launch for a user whose service
// still runs (the calendar restarted after a crash) takes over from it, so
// that two processes never share one store and one window class.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/message_loop.h"

namespace chimewell::host {

// How long a launch waits for the running service to end.
inline constexpr std::chrono::milliseconds kHandoverPatience{5000};

// The file in the user's data folder that names the running service's
// window and process: "<window> <process id>" in decimal.
std::string ServiceWindowRecordPath(const std::string& user_data_dir);

// Takes the user's service lock (creating the data folder). While another
// service holds it, asks that service's recorded window to close and waits,
// at most `patience`, for it to end. Returns the lock, to be held for the
// life of the process, or nullptr when the running service did not end in
// time. Traces each step. Throws when the folder or the lock cannot be made.
std::unique_ptr<platform::InstanceLock> TakeOverUserService(
    platform::FileSystem& files, const std::string& user_data_dir,
    std::chrono::milliseconds patience = kHandoverPatience);

// Records the window of the service that holds the lock, for the next launch.
void RecordServiceWindow(platform::FileSystem& files, const std::string& user_data_dir,
                         platform::WindowHandle window);

}  // namespace chimewell::host
