#include "platform/message_box.h"
#include "platform/win32/wide.h"
#include "platform/win32/windows_api.h"

namespace chimewell::platform {

void ShowErrorMessage(const std::string& title, const std::string& text) {
  ::MessageBoxW(nullptr, win32::Widen(text).c_str(), win32::Widen(title).c_str(),
                MB_OK | MB_ICONERROR);
}

}  // namespace chimewell::platform
