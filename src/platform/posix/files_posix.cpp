#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/files.h"
#include "platform/posix/unique_fd.h"

namespace chimewell::platform {
namespace {

[[noreturn]] void Fail(FileStep step, const std::string& what) {
  const int code = errno;
  throw FileError(step, code, what + ": " + std::strerror(code));
}

class PosixFileSystem final : public FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
  }

  bool DirectoryExists(const std::string& path) override {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }

  void CreateDirectories(const std::string& path) override {
    if (path.empty()) {
      errno = ENOENT;
      Fail(FileStep::kCreateDirectories, "Can not create dir " + path);
    }
    // Make each missing folder from the top down; one that appears meanwhile
    // (another process) is fine.
    for (std::size_t cut = path.find('/', 1);; cut = path.find('/', cut + 1)) {
      const std::string prefix = path.substr(0, cut);
      if (!prefix.empty() && !DirectoryExists(prefix) && ::mkdir(prefix.c_str(), 0777) != 0 &&
          errno != EEXIST) {
        Fail(FileStep::kCreateDirectories, "Can not create dir " + prefix);
      }
      if (cut == std::string::npos) break;
    }
    if (!DirectoryExists(path)) {
      errno = ENOTDIR;
      Fail(FileStep::kCreateDirectories, "Can not create dir " + path);
    }
  }

  std::string ReadWholeFile(const std::string& path) override {
    posix::UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.Valid()) Fail(FileStep::kRead, "Can not open " + path);
    std::string content;
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::read(in.Get(), buffer, sizeof buffer);
      if (got < 0) {
        if (errno == EINTR) continue;
        Fail(FileStep::kRead, "Can not read " + path);
      }
      if (got == 0) return content;
      content.append(buffer, static_cast<std::size_t>(got));
    }
  }

  void WriteWholeFile(const std::string& path, std::string_view bytes) override {
    // A file of ours from an earlier write (the statement dumps, rewritten at
    // every rebuild and alert) is rewritten in place: a new file in its place
    // makes the file system write it back at once, and the next replacement
    // wait for that write.
    if (const posix::UniqueFd own = OpenOwnFileToRewrite(path); own.Valid()) {
      WriteAll(own.Get(), path, bytes);
      if (::ftruncate(own.Get(), static_cast<off_t>(bytes.size())) != 0) {
        Fail(FileStep::kWrite, "Can not write " + path);
      }
      return;
    }
    posix::UniqueFd out = CreateFresh(path, FileStep::kWrite, "Can not create " + path);
    WriteAll(out.Get(), path, bytes);
  }

  void SyncFile(const std::string& path) override {
    // Only ever our own fresh file: a link found there now was planted since.
    posix::UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.Valid()) Fail(FileStep::kSync, "Can not flush " + path);
    while (::fdatasync(file.Get()) != 0) {
      if (errno != EINTR) Fail(FileStep::kSync, "Can not flush " + path);
    }
  }

  void DeleteFile(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) Fail(FileStep::kDelete, "Can not delete " + path);
  }

  void MoveFileReplacing(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) Fail(FileStep::kMove, "Can not move " + from + " to " + to);
  }

  void CopyFileReplacing(const std::string& from, const std::string& to) override {
    const std::string what = "Can not copy " + from + " to " + to;
    posix::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.Valid()) Fail(FileStep::kCopy, what);
    posix::UniqueFd created = CreateFresh(to, FileStep::kCopy, what);
    // Owned by hand from here rather than by UniqueFd: its close is checked (a
    // late write error shows there) and must happen exactly once.
    int out = created.Release();
    struct CloseOnThrow {
      int& descriptor;
      ~CloseOnThrow() {
        if (descriptor >= 0) ::close(descriptor);
      }
    } close_on_throw{out};
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::read(in.Get(), buffer, sizeof buffer);
      if (got < 0) {
        if (errno == EINTR) continue;
        Fail(FileStep::kCopy, what);
      }
      if (got == 0) break;
      WriteAll(out, to, std::string_view(buffer, static_cast<std::size_t>(got)), FileStep::kCopy);
    }
    const int descriptor = std::exchange(out, -1);
    if (::close(descriptor) != 0) Fail(FileStep::kCopy, what);
  }

 private:
  // The file at `path`, open for writing, when it is a plain file of this
  // user with no other name; invalid otherwise, and then it is replaced. What
  // a symbolic link, a second name (hard link), a pipe or a device leads to is
  // not ours, so none of them is written through; the link is never followed
  // and a pipe without a reader does not block the open.
  static posix::UniqueFd OpenOwnFileToRewrite(const std::string& path) {
    posix::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) return fd;
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
        info.st_uid != ::geteuid()) {
      return {};
    }
    return fd;
  }

  // A new, empty file at `path`. Whatever had the name is removed first and
  // the file made exclusively, so that a link planted there is replaced, never
  // written through. A name that comes back between the two steps (another
  // process racing us) gets one more try.
  static posix::UniqueFd CreateFresh(const std::string& path, FileStep step, const std::string& what) {
    for (int attempt = 0;; ++attempt) {
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) Fail(step, what);
      posix::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
      if (fd.Valid()) return fd;
      if (errno != EEXIST || attempt == 1) Fail(step, what);
    }
  }

  static void WriteAll(int descriptor, const std::string& path, std::string_view bytes,
                       FileStep step = FileStep::kWrite) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t put = ::write(descriptor, bytes.data() + done, bytes.size() - done);
      if (put < 0) {
        if (errno == EINTR) continue;
        Fail(step, "Can not write " + path);
      }
      done += static_cast<std::size_t>(put);
    }
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static PosixFileSystem files;
  return files;
}

std::string SystemErrorText(int code) { return std::strerror(code); }

}  // namespace chimewell::platform
