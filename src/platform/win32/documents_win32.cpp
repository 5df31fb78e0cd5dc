#include "platform/win32/windows_api.h"
#include <shlobj.h>

#include "platform/documents.h"
#include "platform/win32/wide.h"

namespace chimewell::platform {

std::string DocumentsFolder() {
  wchar_t buffer[MAX_PATH] = {};
  if (!::SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_PERSONAL, FALSE)) return {};
  return win32::Narrow(buffer);
}

bool IsOneFolderName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string_view::npos;
}

}  // namespace chimewell::platform
