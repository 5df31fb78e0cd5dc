#include "platform/folder_name.h"

namespace chimewell::platform {

bool IsOneFolderName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string_view::npos;
}

}  // namespace chimewell::platform
