// A disk that can lose power, for tests: every change made below one folder
// (by SQLite through PowerCutVfs, by the service's own file code through
// PowerCutFileSystem) is logged in order, and the test then asks what the
// folder holds after a power cut that let any chosen subset of the changes
// reach the platter. A sync of a file forces the earlier changes of that file
// (its creation, writes and truncations); nothing else is ever forced: not a
// move, not a deletion, and none of SQLite's writes while the store runs with
// synchronous Off.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace chimewell::testing_support {

struct DiskChange {
  enum class Kind { kCreate, kWrite, kTruncate, kDelete, kMove, kSync };
  DiskChange(Kind kind_, std::string path_ = {}, std::string to_ = {}, std::int64_t offset_ = 0,
             std::string bytes_ = {}, bool store_ = false)
      : kind(kind_), path(std::move(path_)), to(std::move(to_)), offset(offset_), bytes(std::move(bytes_)),
        store(store_) {}
  Kind kind;
  std::string path;
  std::string to;            // kMove: the new name
  std::int64_t offset;       // kWrite: where; kTruncate: the new size
  std::string bytes;         // kWrite
  bool store;                // made by SQLite (the store or its journal), not by the file seam
};

// The files below the folder: path -> content.
using DiskImage = std::map<std::string, std::string>;

class PowerCutDisk {
 public:
  explicit PowerCutDisk(std::string root) : root_(std::move(root)) {}

  // Takes what the folder holds now as safely on the disk and starts logging.
  void Start();
  // Stops logging; the log stays for the cuts.
  void Stop();
  bool Watches(std::string_view path) const;
  void Record(DiskChange change);

  const std::vector<DiskChange>& Changes() const { return changes_; }
  const DiskImage& Durable() const { return durable_; }

  // The changes before `cut` that reached the disk whatever the cut drops:
  // those a later sync (before `cut`) of their file made durable.
  std::vector<bool> Forced(std::size_t cut) const;
  // What the folder holds after the durable content and, in their order, the
  // changes i < cut with kept[i] (Forced ones are kept whatever kept says).
  DiskImage ImageAfterCut(std::size_t cut, const std::vector<bool>& kept) const;
  // Empties the folder and writes `image` into it.
  void Restore(const DiskImage& image) const;

 private:
  std::string root_;
  mutable std::mutex mutex_;
  bool recording_ = false;
  DiskImage durable_;
  std::vector<DiskChange> changes_;
};

// The file seam over a real file system, logging each change to `disk`.
class PowerCutFileSystem final : public platform::FileSystemWrapper {
 public:
  PowerCutFileSystem(PowerCutDisk& disk, platform::FileSystem& target = platform::RealFileSystem())
      : FileSystemWrapper(target), disk_(disk) {}

  void WriteWholeFile(const std::string& path, std::string_view bytes) override;
  void SyncFile(const std::string& path) override;
  void DeleteFile(const std::string& path) override;
  void MoveFileReplacing(const std::string& from, const std::string& to) override;
  void CopyFileReplacing(const std::string& from, const std::string& to) override;

 private:
  void Log(DiskChange change);
  PowerCutDisk& disk_;
};

// An SQLite VFS over the default one that logs to `disk` every change to a
// file below its folder, registered as the process's default while it
// lives (and so used by every connection the code under test opens). Only
// one at a time.
class PowerCutVfs {
 public:
  explicit PowerCutVfs(PowerCutDisk& disk);
  ~PowerCutVfs();
  PowerCutVfs(const PowerCutVfs&) = delete;
  PowerCutVfs& operator=(const PowerCutVfs&) = delete;

  struct State;

 private:
  // The VFS's C callbacks reach it through sqlite3_vfs::pAppData.
  std::unique_ptr<State> state_;
};

}  // namespace chimewell::testing_support
