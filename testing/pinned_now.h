// A test helper that fixes what SQLite takes for 'now', so that statements
// reading the clock can be run against chosen instants. Builds for both
// targets.
#pragma once

#include <cstdint>
#include <string>

#include <sqlite3.h>

namespace chimewell::testing_support {

// A SQLite VFS that forwards everything to the default VFS except the clock,
// which reads the pinned instant. Registered (not as the default) for the
// object's lifetime under Name(); open a connection through it with
// sqlite3_open_v2(path, &db, flags, vfs.Name()). Every connection opened
// through it must be closed before it is destroyed.
class PinnedNowVfs {
 public:
  explicit PinnedNowVfs(std::int64_t unix_seconds = 0);
  ~PinnedNowVfs();
  PinnedNowVfs(const PinnedNowVfs&) = delete;
  PinnedNowVfs& operator=(const PinnedNowVfs&) = delete;

  // Takes effect from the next statement: SQLite reads the clock once per
  // statement execution.
  void SetNow(std::int64_t unix_seconds) { now_ms_ = unix_seconds * 1000; }
  const char* Name() const { return name_.c_str(); }

 private:
  static int CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* julian_ms);
  static int CurrentTime(sqlite3_vfs* vfs, double* julian_days);
  // SQLite hands every call our vfs_; its pAppData leads back to this object.
  static const PinnedNowVfs& Self(sqlite3_vfs* vfs);
  static sqlite3_vfs* Real(sqlite3_vfs* vfs);

  sqlite3_vfs* real_;  // the default VFS at construction; not owned
  std::string name_;
  sqlite3_vfs vfs_{};
  std::int64_t now_ms_;
};

}  // namespace chimewell::testing_support
