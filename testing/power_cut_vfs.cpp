// PowerCutVfs: SQLite's default VFS with every change to a watched file
// logged. Version 1 file methods: no memory mapping and no shared memory, so
// every change passes xWrite or xTruncate (the store uses no WAL).
#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "testing/power_cut_disk.h"

namespace chimewell::testing_support {

using Kind = DiskChange::Kind;

struct PowerCutVfs::State {
  PowerCutDisk& disk;
  sqlite3_vfs* base = nullptr;
  sqlite3_vfs vfs{};
  sqlite3_io_methods methods{};
};

namespace {

constexpr char kVfsName[] = "power-cut";

// The file object SQLite allocates (szOsFile bytes): ours, then the default
// VFS's own right behind it.
struct File {
  sqlite3_file base;
  PowerCutVfs::State* state;
  const char* path;  // SQLite keeps the name alive while the file is open; null for temporary files
  sqlite3_file* Real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

File* AsFile(sqlite3_file* file) { return reinterpret_cast<File*>(file); }
PowerCutVfs::State* StateOf(sqlite3_vfs* vfs) { return static_cast<PowerCutVfs::State*>(vfs->pAppData); }

void Log(File* file, DiskChange change) {
  if (file->path == nullptr) return;
  change.path = file->path;
  change.store = true;
  file->state->disk.Record(std::move(change));
}

int Close(sqlite3_file* file) {
  sqlite3_file* real = AsFile(file)->Real();
  return real->pMethods->xClose(real);
}
int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  sqlite3_file* real = AsFile(file)->Real();
  return real->pMethods->xRead(real, buffer, amount, offset);
}
int Write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  sqlite3_file* real = AsFile(file)->Real();
  const int result = real->pMethods->xWrite(real, buffer, amount, offset);
  if (result == SQLITE_OK) {
    Log(AsFile(file), {Kind::kWrite, {}, {}, offset,
                       std::string(static_cast<const char*>(buffer), static_cast<std::size_t>(amount))});
  }
  return result;
}
int Truncate(sqlite3_file* file, sqlite3_int64 size) {
  sqlite3_file* real = AsFile(file)->Real();
  const int result = real->pMethods->xTruncate(real, size);
  if (result == SQLITE_OK) Log(AsFile(file), {Kind::kTruncate, {}, {}, size});
  return result;
}
int Sync(sqlite3_file* file, int flags) {
  sqlite3_file* real = AsFile(file)->Real();
  const int result = real->pMethods->xSync(real, flags);
  if (result == SQLITE_OK) Log(AsFile(file), {Kind::kSync});
  return result;
}
int FileSize(sqlite3_file* file, sqlite3_int64* size) {
  sqlite3_file* real = AsFile(file)->Real();
  return real->pMethods->xFileSize(real, size);
}
int Lock(sqlite3_file* file, int level) {
  sqlite3_file* real = AsFile(file)->Real();
  return real->pMethods->xLock(real, level);
}
int Unlock(sqlite3_file* file, int level) {
  sqlite3_file* real = AsFile(file)->Real();
  return real->pMethods->xUnlock(real, level);
}
int CheckReservedLock(sqlite3_file* file, int* out) {
  sqlite3_file* real = AsFile(file)->Real();
  return real->pMethods->xCheckReservedLock(real, out);
}
int FileControl(sqlite3_file* file, int op, void* argument) {
  sqlite3_file* real = AsFile(file)->Real();
  return real->pMethods->xFileControl(real, op, argument);
}
int SectorSize(sqlite3_file* file) {
  sqlite3_file* real = AsFile(file)->Real();
  return real->pMethods->xSectorSize(real);
}
int DeviceCharacteristics(sqlite3_file* file) {
  sqlite3_file* real = AsFile(file)->Real();
  return real->pMethods->xDeviceCharacteristics(real);
}

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* out_flags) {
  PowerCutVfs::State* state = StateOf(vfs);
  File* ours = AsFile(file);
  ours->state = state;
  ours->path = name;
  const bool created = name != nullptr && (flags & SQLITE_OPEN_CREATE) != 0 &&
                       !std::filesystem::exists(std::filesystem::path(name));
  const int result = state->base->xOpen(state->base, name, ours->Real(), flags, out_flags);
  if (ours->Real()->pMethods == nullptr) {
    file->pMethods = nullptr;
    return result;
  }
  file->pMethods = &state->methods;
  if (result == SQLITE_OK && created) Log(ours, {Kind::kCreate});
  return result;
}

int Delete(sqlite3_vfs* vfs, const char* name, int sync_dir) {
  PowerCutVfs::State* state = StateOf(vfs);
  const int result = state->base->xDelete(state->base, name, sync_dir);
  if (result == SQLITE_OK) state->disk.Record({Kind::kDelete, name, {}, 0, {}, true});
  return result;
}

int Access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return StateOf(vfs)->base->xAccess(StateOf(vfs)->base, name, flags, out);
}
int FullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return StateOf(vfs)->base->xFullPathname(StateOf(vfs)->base, name, size, out);
}
void* DlOpen(sqlite3_vfs* vfs, const char* name) { return StateOf(vfs)->base->xDlOpen(StateOf(vfs)->base, name); }
void DlError(sqlite3_vfs* vfs, int size, char* out) { StateOf(vfs)->base->xDlError(StateOf(vfs)->base, size, out); }
void (*DlSym(sqlite3_vfs* vfs, void* library, const char* symbol))(void) {
  return StateOf(vfs)->base->xDlSym(StateOf(vfs)->base, library, symbol);
}
void DlClose(sqlite3_vfs* vfs, void* library) { StateOf(vfs)->base->xDlClose(StateOf(vfs)->base, library); }
int Randomness(sqlite3_vfs* vfs, int size, char* out) {
  return StateOf(vfs)->base->xRandomness(StateOf(vfs)->base, size, out);
}
int Sleep(sqlite3_vfs* vfs, int microseconds) { return StateOf(vfs)->base->xSleep(StateOf(vfs)->base, microseconds); }
int CurrentTime(sqlite3_vfs* vfs, double* out) { return StateOf(vfs)->base->xCurrentTime(StateOf(vfs)->base, out); }
int GetLastError(sqlite3_vfs* vfs, int size, char* out) {
  return StateOf(vfs)->base->xGetLastError(StateOf(vfs)->base, size, out);
}

}  // namespace

PowerCutVfs::PowerCutVfs(PowerCutDisk& disk) : state_(new State{disk}) {
  sqlite3_initialize();
  state_->base = sqlite3_vfs_find(nullptr);
  if (state_->base == nullptr) throw std::runtime_error("SQLite has no default VFS");
  sqlite3_io_methods& methods = state_->methods;
  methods.iVersion = 1;
  methods.xClose = Close;
  methods.xRead = Read;
  methods.xWrite = Write;
  methods.xTruncate = Truncate;
  methods.xSync = Sync;
  methods.xFileSize = FileSize;
  methods.xLock = Lock;
  methods.xUnlock = Unlock;
  methods.xCheckReservedLock = CheckReservedLock;
  methods.xFileControl = FileControl;
  methods.xSectorSize = SectorSize;
  methods.xDeviceCharacteristics = DeviceCharacteristics;
  sqlite3_vfs& vfs = state_->vfs;
  vfs.iVersion = 1;
  vfs.szOsFile = static_cast<int>(sizeof(File)) + state_->base->szOsFile;
  vfs.mxPathname = state_->base->mxPathname;
  vfs.zName = kVfsName;
  vfs.pAppData = state_.get();
  vfs.xOpen = Open;
  vfs.xDelete = Delete;
  vfs.xAccess = Access;
  vfs.xFullPathname = FullPathname;
  vfs.xDlOpen = DlOpen;
  vfs.xDlError = DlError;
  vfs.xDlSym = DlSym;
  vfs.xDlClose = DlClose;
  vfs.xRandomness = Randomness;
  vfs.xSleep = Sleep;
  vfs.xCurrentTime = CurrentTime;
  vfs.xGetLastError = GetLastError;
  if (sqlite3_vfs_register(&vfs, 1) != SQLITE_OK) throw std::runtime_error("cannot register the VFS");
}

PowerCutVfs::~PowerCutVfs() {
  sqlite3_vfs_unregister(&state_->vfs);
  sqlite3_vfs_register(state_->base, 1);
}

}  // namespace chimewell::testing_support
