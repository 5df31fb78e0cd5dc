// A self-releasing worker thread.
#pragma once

#include <functional>

namespace chimewell::platform {

// Starts a thread that runs `work` and releases itself when it ends; nobody
// waits for it. Throws std::runtime_error when the thread cannot be started.
void StartDetachedThread(std::function<void()> work);

}  // namespace chimewell::platform
