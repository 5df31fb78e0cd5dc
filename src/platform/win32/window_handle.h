// Window handles across processes: 32 significant bits, whatever the pointer
// size. Windows hands a 64-bit process's handle to others truncated and takes
// one back sign-extended; the conversions do the same.
#pragma once

#include "platform/win32/windows_api.h"

#include <cstdint>

#include "platform/message_loop.h"

namespace chimewell::platform::win32 {

inline WindowHandle ToWindowHandle(HWND window) {
  return static_cast<WindowHandle>(reinterpret_cast<std::uintptr_t>(window));
}

inline HWND ToHwnd(WindowHandle handle) {
  const auto sign_extended = static_cast<std::intptr_t>(static_cast<std::int32_t>(handle));
  return reinterpret_cast<HWND>(sign_extended);
}

}  // namespace chimewell::platform::win32
