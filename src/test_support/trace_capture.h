// Test helpers: a private temporary folder, and the texts the process traced
// to standard error while a capture ran.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace chimewell::testing_support {

// The whole content of a file, "" when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "cw-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Switches the trace on and collects the text part of every trace line
// written while it lives.
class TraceCapture {
 public:
  TraceCapture() {
    ::setenv("isDebug", "1", 1);
    ::testing::internal::CaptureStderr();
  }
  ~TraceCapture() {
    if (!taken_) ::testing::internal::GetCapturedStderr();
  }
  // The texts (everything after the fixed 66-column prefix) of the lines so far.
  std::vector<std::string> Texts() {
    taken_ = true;
    const std::string captured = ::testing::internal::GetCapturedStderr();
    std::vector<std::string> texts;
    std::size_t start = 0;
    while (start < captured.size()) {
      std::size_t end = captured.find('\n', start);
      if (end == std::string::npos) end = captured.size();
      const std::string line = captured.substr(start, end - start);
      texts.push_back(line.size() > 66 ? line.substr(66) : line);
      start = end + 1;
    }
    return texts;
  }

 private:
  bool taken_ = false;
};

}  // namespace chimewell::testing_support
