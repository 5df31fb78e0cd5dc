#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"
#include "platform/win32/windows_api.h"

namespace chimewell::platform {
namespace {

class MutexInstanceLock final : public InstanceLock {
 public:
  explicit MutexInstanceLock(win32::UniqueHandle mutex) : mutex_(std::move(mutex)) {}
  // Taken and released on the same thread: the process's main thread.
  ~MutexInstanceLock() override { ::ReleaseMutex(mutex_.Get()); }

 private:
  win32::UniqueHandle mutex_;
};

// A kernel object name may not hold "\" after its namespace, and a path may
// be longer than a name may be: the name carries a hash of the folded path.
std::wstring MutexName(const std::string& folder) {
  std::wstring path = win32::Widen(folder);
  if (!path.empty()) ::CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (wchar_t unit : path) {
    hash = (hash ^ static_cast<std::uint16_t>(unit)) * 1099511628211ull;
  }
  wchar_t name[64];
  std::swprintf(name, 64, L"Local\\Chimewell.service.%016llX", static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace

std::unique_ptr<InstanceLock> TryInstanceLock(const std::string& folder) {
  win32::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, MutexName(folder).c_str()));
  if (!mutex.Valid()) {
    throw std::runtime_error("CreateMutex for " + folder + " failed : " +
                             SystemErrorText(static_cast<int>(::GetLastError())));
  }
  switch (::WaitForSingleObject(mutex.Get(), 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder ended without releasing it: ours now
      return std::make_unique<MutexInstanceLock>(std::move(mutex));
    case WAIT_TIMEOUT:
      return nullptr;
    default:
      throw std::runtime_error("waiting for the lock of " + folder + " failed : " +
                               SystemErrorText(static_cast<int>(::GetLastError())));
  }
}

}  // namespace chimewell::platform
