// Test helpers for files: a private temporary folder, and a file's content.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace chimewell::testing_support {

// The whole content of a file, nullopt when it cannot be read.
inline std::optional<std::string> ReadFileIfPresent(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The whole content of a file, "" when it cannot be read.
inline std::string ReadFile(const std::string& path) { return ReadFileIfPresent(path).value_or(""); }

// A new folder below /tmp (or $TMPDIR), named `prefix`-XXXXXX, removed with
// everything in it when the object goes. Short names matter: the POSIX window
// bus puts socket paths below it.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "cw-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace chimewell::testing_support
