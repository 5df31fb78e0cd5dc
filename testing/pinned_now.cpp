#include "testing/pinned_now.h"

#include <stdexcept>

namespace chimewell::testing_support {
namespace {

// The Julian day of 1970-01-01 00:00:00 UTC, in milliseconds.
constexpr sqlite3_int64 kUnixEpochJulianMs = 210866760000000;

}  // namespace

PinnedNowVfs::PinnedNowVfs(std::int64_t unix_seconds)
    : real_(sqlite3_vfs_find(nullptr)),
      name_("pinned-now-" + std::to_string(reinterpret_cast<std::uintptr_t>(this))),
      now_ms_(unix_seconds * 1000) {
  if (real_ == nullptr) throw std::runtime_error("no default SQLite VFS");
  vfs_.iVersion = 2;  // up to xCurrentTimeInt64; the system-call hooks stay the real VFS's
  vfs_.szOsFile = real_->szOsFile;
  vfs_.mxPathname = real_->mxPathname;
  vfs_.zName = name_.c_str();
  vfs_.pAppData = this;
  vfs_.xOpen = [](sqlite3_vfs* v, const char* name, sqlite3_file* file, int flags, int* out) {
    return Real(v)->xOpen(Real(v), name, file, flags, out);
  };
  vfs_.xDelete = [](sqlite3_vfs* v, const char* name, int sync_dir) {
    return Real(v)->xDelete(Real(v), name, sync_dir);
  };
  vfs_.xAccess = [](sqlite3_vfs* v, const char* name, int flags, int* out) {
    return Real(v)->xAccess(Real(v), name, flags, out);
  };
  vfs_.xFullPathname = [](sqlite3_vfs* v, const char* name, int size, char* out) {
    return Real(v)->xFullPathname(Real(v), name, size, out);
  };
  vfs_.xDlOpen = [](sqlite3_vfs* v, const char* name) { return Real(v)->xDlOpen(Real(v), name); };
  vfs_.xDlError = [](sqlite3_vfs* v, int size, char* out) { Real(v)->xDlError(Real(v), size, out); };
  vfs_.xDlSym = [](sqlite3_vfs* v, void* handle, const char* symbol) {
    return Real(v)->xDlSym(Real(v), handle, symbol);
  };
  vfs_.xDlClose = [](sqlite3_vfs* v, void* handle) { Real(v)->xDlClose(Real(v), handle); };
  vfs_.xRandomness = [](sqlite3_vfs* v, int size, char* out) {
    return Real(v)->xRandomness(Real(v), size, out);
  };
  vfs_.xSleep = [](sqlite3_vfs* v, int micros) { return Real(v)->xSleep(Real(v), micros); };
  vfs_.xGetLastError = [](sqlite3_vfs* v, int size, char* out) {
    return Real(v)->xGetLastError ? Real(v)->xGetLastError(Real(v), size, out) : 0;
  };
  vfs_.xCurrentTime = &PinnedNowVfs::CurrentTime;
  vfs_.xCurrentTimeInt64 = &PinnedNowVfs::CurrentTimeInt64;
  if (sqlite3_vfs_register(&vfs_, 0) != SQLITE_OK) throw std::runtime_error("cannot register " + name_);
}

PinnedNowVfs::~PinnedNowVfs() { sqlite3_vfs_unregister(&vfs_); }

const PinnedNowVfs& PinnedNowVfs::Self(sqlite3_vfs* vfs) {
  return *static_cast<const PinnedNowVfs*>(vfs->pAppData);
}

sqlite3_vfs* PinnedNowVfs::Real(sqlite3_vfs* vfs) { return Self(vfs).real_; }

int PinnedNowVfs::CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* julian_ms) {
  *julian_ms = kUnixEpochJulianMs + Self(vfs).now_ms_;
  return SQLITE_OK;
}

int PinnedNowVfs::CurrentTime(sqlite3_vfs* vfs, double* julian_days) {
  *julian_days = static_cast<double>(kUnixEpochJulianMs + Self(vfs).now_ms_) / 86400000.0;
  return SQLITE_OK;
}

}  // namespace chimewell::testing_support
