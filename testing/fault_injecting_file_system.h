// A file system for unit tests that fails on request and can lose what was
// never synced, over a real file system (usually a temporary folder), so that
// SQLite and the checks of a test still see real files.
#pragma once

#include <map>
#include <set>
#include <string>

#include "platform/files.h"

namespace chimewell::testing_support {

class FaultInjectingFileSystem final : public platform::FileSystemWrapper {
 public:
  explicit FaultInjectingFileSystem(platform::FileSystem& target = platform::RealFileSystem())
      : FileSystemWrapper(target) {}

  // The `nth` call of `step` from now on (1: the next one) fails with a
  // FileError of that step and error code `code`. A failing write first puts
  // half of its bytes in the file (a short write); every other failing step
  // changes nothing.
  void FailNth(platform::FileStep step, int nth, int code = 5);
  // How many calls of `step` there were (failed ones included).
  int Calls(platform::FileStep step) const;

  // A power cut: every file written, copied or moved here whose content was
  // not synced since loses that content (it is left empty), as a file system
  // that puts names on the disk before data may leave it. Moves and deletions
  // themselves survive.
  void PowerCut();

  void CreateDirectories(const std::string& path) override;
  std::string ReadWholeFile(const std::string& path) override;
  void WriteWholeFile(const std::string& path, std::string_view bytes) override;
  void SyncFile(const std::string& path) override;
  void DeleteFile(const std::string& path) override;
  void MoveFileReplacing(const std::string& from, const std::string& to) override;
  void CopyFileReplacing(const std::string& from, const std::string& to) override;

 private:
  // Counts the call; throws when it is one to fail.
  void Step(platform::FileStep step, const std::string& path);
  bool Failing(platform::FileStep step);

  std::map<platform::FileStep, int> calls_;
  std::map<platform::FileStep, std::set<int>> failing_;  // call numbers
  std::map<platform::FileStep, int> codes_;
  std::set<std::string> unsynced_;
};

}  // namespace chimewell::testing_support
