#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "store/ownership.h"

namespace chimewell::store {
namespace {

std::optional<std::string> Unsafe(const std::string& what, const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;  // missing: nothing to check yet
  if (info.st_uid != ::geteuid()) {
    return "Unsafe " + what + " " + path + ": owned by user " + std::to_string(info.st_uid);
  }
  if ((info.st_mode & S_IWOTH) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "Unsafe " + what + " " + path + ": mode " + mode + " lets other users write it";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> UnsafeStoreOwnership(const std::string& data_dir, const std::string& store_path) {
  if (std::optional<std::string> folder = Unsafe("data folder", data_dir)) return folder;
  return Unsafe("store", store_path);
}

}  // namespace chimewell::store
