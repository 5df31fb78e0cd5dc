#include "testing/power_cut_disk.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "testing/temp_folder.h"

namespace chimewell::testing_support {

namespace fs = std::filesystem;
using Kind = DiskChange::Kind;

void PowerCutDisk::Start() {
  std::lock_guard lock(mutex_);
  durable_.clear();
  changes_.clear();
  for (const auto& entry : fs::recursive_directory_iterator(root_)) {
    if (entry.is_regular_file()) durable_[entry.path().string()] = ReadFile(entry.path().string());
  }
  recording_ = true;
}

void PowerCutDisk::Stop() {
  std::lock_guard lock(mutex_);
  recording_ = false;
}

bool PowerCutDisk::Watches(std::string_view path) const {
  return path.size() > root_.size() && path.substr(0, root_.size()) == root_ && path[root_.size()] == '/';
}

void PowerCutDisk::Record(DiskChange change) {
  std::lock_guard lock(mutex_);
  if (recording_ && Watches(change.path)) changes_.push_back(std::move(change));
}

std::vector<bool> PowerCutDisk::Forced(std::size_t cut) const {
  std::vector<bool> forced(cut, false);
  for (std::size_t sync = 0; sync < cut; ++sync) {
    if (changes_[sync].kind != Kind::kSync) continue;
    // Back to the file's creation: what came before belongs to an older file.
    for (std::size_t i = sync; i-- > 0;) {
      const DiskChange& change = changes_[i];
      if (change.path != changes_[sync].path) continue;
      if (change.kind == Kind::kWrite || change.kind == Kind::kTruncate || change.kind == Kind::kCreate) {
        forced[i] = true;
      }
      if (change.kind == Kind::kCreate || change.kind == Kind::kDelete) break;
    }
  }
  return forced;
}

DiskImage PowerCutDisk::ImageAfterCut(std::size_t cut, const std::vector<bool>& kept) const {
  const std::vector<bool> forced = Forced(cut);
  DiskImage image = durable_;
  for (std::size_t i = 0; i < cut; ++i) {
    if (!forced[i] && !kept[i]) continue;
    const DiskChange& change = changes_[i];
    const auto file = image.find(change.path);
    switch (change.kind) {
      case Kind::kCreate:
        image[change.path].clear();
        break;
      case Kind::kWrite:
        // A write to a file whose creation never reached the disk is lost with it.
        if (file != image.end()) {
          const auto end = static_cast<std::size_t>(change.offset) + change.bytes.size();
          if (file->second.size() < end) file->second.resize(end, '\0');
          file->second.replace(static_cast<std::size_t>(change.offset), change.bytes.size(), change.bytes);
        }
        break;
      case Kind::kTruncate:
        if (file != image.end()) file->second.resize(static_cast<std::size_t>(change.offset), '\0');
        break;
      case Kind::kDelete:
        if (file != image.end()) image.erase(file);
        break;
      case Kind::kMove:
        if (file != image.end()) {
          std::string content = std::move(file->second);
          image.erase(file);
          image[change.to] = std::move(content);
        }
        break;
      case Kind::kSync:
        break;
    }
  }
  return image;
}

void PowerCutDisk::Restore(const DiskImage& image) const {
  for (const auto& entry : fs::directory_iterator(root_)) fs::remove_all(entry.path());
  for (const auto& [path, content] : image) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
  }
}

void PowerCutFileSystem::Log(DiskChange change) { disk_.Record(std::move(change)); }

void PowerCutFileSystem::WriteWholeFile(const std::string& path, std::string_view bytes) {
  Target().WriteWholeFile(path, bytes);
  Log({Kind::kCreate, path});
  Log({Kind::kWrite, path, {}, 0, std::string(bytes)});
}

void PowerCutFileSystem::SyncFile(const std::string& path) {
  Target().SyncFile(path);
  Log({Kind::kSync, path});
}

void PowerCutFileSystem::DeleteFile(const std::string& path) {
  Target().DeleteFile(path);
  Log({Kind::kDelete, path});
}

void PowerCutFileSystem::MoveFileReplacing(const std::string& from, const std::string& to) {
  Target().MoveFileReplacing(from, to);
  Log({Kind::kMove, from, to});
}

void PowerCutFileSystem::CopyFileReplacing(const std::string& from, const std::string& to) {
  Target().CopyFileReplacing(from, to);
  Log({Kind::kCreate, to});
  Log({Kind::kWrite, to, {}, 0, Target().ReadWholeFile(to)});
}

}  // namespace chimewell::testing_support
