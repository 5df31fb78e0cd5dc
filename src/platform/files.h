// The file operations the service needs, on UTF-8 paths, behind one interface
// so that the code above can be given a file system that fails on purpose.
//
// Errors: every operation that can fail throws FileError. Exceptions, because
// that is how the project reports a failure: raised inside an operation,
// caught and traced at its edge, with a message naming the path and the
// system's reason. A bool would lose the reason and an error code the path on
// the way up; FileError keeps both, and the code and the step for callers
// whose trace names them.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace chimewell::platform {

// The step of a file operation that failed.
enum class FileStep { kCreateDirectories, kRead, kWrite, kSync, kDelete, kMove, kCopy };

class FileError : public std::runtime_error {
 public:
  FileError(FileStep step, int code, const std::string& message)
      : std::runtime_error(message), step_(step), code_(code) {}
  FileStep Step() const noexcept { return step_; }
  // The operating system's error code (GetLastError on Windows, errno on POSIX).
  int Code() const noexcept { return code_; }

 private:
  FileStep step_;
  int code_;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True when `path` names an existing file (not a folder).
  virtual bool FileExists(const std::string& path) = 0;
  // True when `path` names an existing folder; a trailing separator is allowed.
  virtual bool DirectoryExists(const std::string& path) = 0;
  // Creates the folder and every missing folder above it. Returns when the
  // folder exists afterwards (made now, by another process, or before).
  virtual void CreateDirectories(const std::string& path) = 0;
  // The whole content of the file.
  virtual std::string ReadWholeFile(const std::string& path) = 0;
  // Writes `bytes` as the whole content of the file at `path`, never through
  // a link planted there. On POSIX a plain file of this user with no other
  // name is rewritten in place and cut to its new length, so a reader
  // meanwhile may see part of it (ReplaceFileAtomically is for files others
  // read); anything else with that name (a symbolic or hard link, a pipe, a
  // device, another user's file) is removed first, never what it points to,
  // and the file created exclusively. Windows writes a new file beside the
  // name (CREATE_NEW) and moves it over the name, which replaces a link; an
  // existing read-only, hidden or system file is refused with
  // ERROR_ACCESS_DENIED, as CREATE_ALWAYS refuses it. The content may still
  // be in the system's cache: see SyncFile.
  virtual void WriteWholeFile(const std::string& path, std::string_view bytes) = 0;
  // Puts the file's content on the disk, so that it survives a power cut.
  virtual void SyncFile(const std::string& path) = 0;
  // Removes the name; a link there is removed, never what it points to. A
  // missing name, a folder or (Windows) a read-only file is an error.
  virtual void DeleteFile(const std::string& path) = 0;
  // Moves a file over whatever has that name in one step (MoveFileExW with
  // MOVEFILE_REPLACE_EXISTING; rename on POSIX): a reader sees the old file or
  // the new one, never neither.
  virtual void MoveFileReplacing(const std::string& from, const std::string& to) = 0;
  // Copies a file over whatever has that name; `to` is always made new, a
  // link there replaced, not written through (POSIX: the name removed, then
  // created exclusively; Windows: CopyFileW to a new name beside `to`, then
  // moved over it).
  virtual void CopyFileReplacing(const std::string& from, const std::string& to) = 0;
};

// The machine's own file system (one per backend).
FileSystem& RealFileSystem();

// Forwards every call to another file system; derive from it to change a few.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
  FileSystem& Target() const { return target_; }

  bool FileExists(const std::string& path) override { return target_.FileExists(path); }
  bool DirectoryExists(const std::string& path) override { return target_.DirectoryExists(path); }
  void CreateDirectories(const std::string& path) override { target_.CreateDirectories(path); }
  std::string ReadWholeFile(const std::string& path) override { return target_.ReadWholeFile(path); }
  void WriteWholeFile(const std::string& path, std::string_view bytes) override {
    target_.WriteWholeFile(path, bytes);
  }
  void SyncFile(const std::string& path) override { target_.SyncFile(path); }
  void DeleteFile(const std::string& path) override { target_.DeleteFile(path); }
  void MoveFileReplacing(const std::string& from, const std::string& to) override {
    target_.MoveFileReplacing(from, to);
  }
  void CopyFileReplacing(const std::string& from, const std::string& to) override {
    target_.CopyFileReplacing(from, to);
  }

 private:
  FileSystem& target_;
};

// The name a replacement is prepared under: path + "~".
std::string ReplacementName(const std::string& path);

// Gives `path` new content in one step, so that a reader never meets a
// missing or half-written file: `fill` puts the content at
// ReplacementName(path), which is then synced and moved over `path`. When a
// step fails its FileError goes to the caller; when the move fails the old
// file stays as it was and the replacement keeps the new content.
void ReplaceFileAtomically(FileSystem& files, const std::string& path,
                           const std::function<void(const std::string& replacement)>& fill);
// The same with `bytes` as the new content.
void ReplaceFileAtomically(FileSystem& files, const std::string& path, std::string_view bytes);

// The text of an operating system error code.
std::string SystemErrorText(int code);

}  // namespace chimewell::platform
