// Move-only owner of a kernel handle. Win32 reports failure with NULL from some
// functions and INVALID_HANDLE_VALUE from others; both mean "no handle" here.
#pragma once

#include "platform/win32/windows_api.h"

#include <utility>

namespace chimewell::platform::win32 {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(Normalize(handle)) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != nullptr; }
  void Reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) ::CloseHandle(handle_);
    handle_ = Normalize(handle);
  }

 private:
  static HANDLE Normalize(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }
  HANDLE handle_ = nullptr;
};

}  // namespace chimewell::platform::win32
