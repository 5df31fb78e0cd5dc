#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/ownership.h"

namespace chimewell::platform {

std::optional<std::string> WhyOthersCanChange(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;  // missing: nothing to check yet
  if (info.st_uid != ::geteuid()) return "owned by user " + std::to_string(info.st_uid);
  if ((info.st_mode & S_IWOTH) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return std::string("mode ") + mode + " lets other users write it";
  }
  return std::nullopt;
}

}  // namespace chimewell::platform
