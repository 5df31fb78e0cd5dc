#include <fstream>

#include "platform/documents.h"
#include "platform/process.h"

namespace chimewell::platform {
namespace {

// The value of XDG_DOCUMENTS_DIR in a user-dirs.dirs file: a quoted path in
// which "$HOME" stands for the home folder.
std::string DocumentsEntry(const std::string& file, const std::string& home) {
  std::ifstream in(file);
  const std::string key = "XDG_DOCUMENTS_DIR=";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
    return value;
  }
  return {};
}

}  // namespace

std::string DocumentsFolder() {
  if (std::string explicit_dir = GetEnvironmentVariable("XDG_DOCUMENTS_DIR"); !explicit_dir.empty()) {
    return explicit_dir;
  }
  const std::string home = GetEnvironmentVariable("HOME");
  std::string config = GetEnvironmentVariable("XDG_CONFIG_HOME");
  if (config.empty() && !home.empty()) config = home + "/.config";
  if (!config.empty()) {
    if (std::string entry = DocumentsEntry(config + "/user-dirs.dirs", home); !entry.empty()) {
      return entry;
    }
  }
  return home.empty() ? std::string() : home + "/Documents";
}

bool IsOneFolderName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string_view::npos;
}

}  // namespace chimewell::platform
