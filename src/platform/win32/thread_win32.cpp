#include "platform/win32/windows_api.h"

#include <memory>
#include <stdexcept>

#include "platform/files.h"
#include "platform/thread.h"

namespace chimewell::platform {
namespace {

// noexcept: an exception must not unwind into the system's thread start; it
// ends the process, as it would on a std::thread.
DWORD WINAPI RunWork(void* parameter) noexcept {
  const std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(parameter));
  (*work)();
  return 0;
}

}  // namespace

void StartDetachedThread(std::function<void()> work) {
  auto owned = std::make_unique<std::function<void()>>(std::move(work));
  const HANDLE thread = ::CreateThread(nullptr, 0, RunWork, owned.get(), 0, nullptr);
  if (thread == nullptr) {
    throw std::runtime_error("Can not start thread: " +
                             SystemErrorText(static_cast<int>(::GetLastError())));
  }
  owned.release();  // the thread owns it now
  // Nobody waits for the thread: closing the handle at once lets the system
  // release it when the work ends.
  ::CloseHandle(thread);
}

}  // namespace chimewell::platform
