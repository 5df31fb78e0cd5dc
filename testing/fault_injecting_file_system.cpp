#include "testing/fault_injecting_file_system.h"

namespace chimewell::testing_support {

using platform::FileError;
using platform::FileStep;

void FaultInjectingFileSystem::FailNth(FileStep step, int nth, int code) {
  failing_[step].insert(calls_[step] + nth);
  codes_[step] = code;
}

int FaultInjectingFileSystem::Calls(FileStep step) const {
  const auto found = calls_.find(step);
  return found == calls_.end() ? 0 : found->second;
}

bool FaultInjectingFileSystem::Failing(FileStep step) {
  const int call = ++calls_[step];
  return failing_[step].erase(call) > 0;
}

void FaultInjectingFileSystem::Step(FileStep step, const std::string& path) {
  if (Failing(step)) throw FileError(step, codes_[step], "Injected failure on " + path);
}

void FaultInjectingFileSystem::PowerCut() {
  for (const std::string& path : unsynced_) {
    if (Target().FileExists(path)) Target().WriteWholeFile(path, "");
  }
  unsynced_.clear();
}

void FaultInjectingFileSystem::CreateDirectories(const std::string& path) {
  Step(FileStep::kCreateDirectories, path);
  Target().CreateDirectories(path);
}

std::string FaultInjectingFileSystem::ReadWholeFile(const std::string& path) {
  Step(FileStep::kRead, path);
  return Target().ReadWholeFile(path);
}

void FaultInjectingFileSystem::WriteWholeFile(const std::string& path, std::string_view bytes) {
  unsynced_.insert(path);
  if (Failing(FileStep::kWrite)) {
    Target().WriteWholeFile(path, bytes.substr(0, bytes.size() / 2));
    throw FileError(FileStep::kWrite, codes_[FileStep::kWrite], "Injected short write to " + path);
  }
  Target().WriteWholeFile(path, bytes);
}

void FaultInjectingFileSystem::SyncFile(const std::string& path) {
  Step(FileStep::kSync, path);
  Target().SyncFile(path);
  unsynced_.erase(path);
}

void FaultInjectingFileSystem::DeleteFile(const std::string& path) {
  Step(FileStep::kDelete, path);
  Target().DeleteFile(path);
  unsynced_.erase(path);
}

void FaultInjectingFileSystem::MoveFileReplacing(const std::string& from, const std::string& to) {
  Step(FileStep::kMove, from + " to " + to);
  Target().MoveFileReplacing(from, to);
  // The name moves; whether its content is on the disk moves with it.
  if (unsynced_.erase(from) > 0) {
    unsynced_.insert(to);
  } else {
    unsynced_.erase(to);
  }
}

void FaultInjectingFileSystem::CopyFileReplacing(const std::string& from, const std::string& to) {
  Step(FileStep::kCopy, from + " to " + to);
  Target().CopyFileReplacing(from, to);
  unsynced_.insert(to);
}

}  // namespace chimewell::testing_support
