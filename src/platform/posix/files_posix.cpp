#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/files.h"
#include "platform/posix/unique_fd.h"

namespace chimewell::platform {

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateDirectories(const std::string& path) {
  if (path.empty()) return false;
  // Make each missing folder from the top down; one that appears meanwhile
  // (another process) is fine.
  for (std::size_t cut = path.find('/', 1);; cut = path.find('/', cut + 1)) {
    const std::string prefix = path.substr(0, cut);
    if (!prefix.empty() && !DirectoryExists(prefix) && ::mkdir(prefix.c_str(), 0777) != 0 &&
        errno != EEXIST) {
      return false;
    }
    if (cut == std::string::npos) break;
  }
  return DirectoryExists(path);
}

int CopyFileReplacing(const std::string& from, const std::string& to) {
  posix::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.Valid()) return errno;
  posix::UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!out.Valid()) return errno;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(in.Get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(out.Get(), buffer + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += put;
    }
  }
  return ::close(out.Get()) == 0 ? (out.Reset(-1), 0) : errno;
}

int MoveFileReplacing(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

void WriteWholeFile(const std::string& path, std::string_view bytes) {
  // The old content is overwritten in place and the rest cut off afterwards,
  // instead of opening with O_TRUNC: on ext4 (and others with delayed
  // allocation) truncating a file to nothing makes its close start writing
  // it back to disk and the next truncation wait for that, which costs a
  // rewritten dump file 0.3-0.6 ms instead of 0.02 ms. The content afterwards
  // is the same either way.
  posix::UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (!out.Valid()) {
    throw std::runtime_error("Can not create " + path + ": " + std::strerror(errno));
  }
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t put = ::write(out.Get(), bytes.data() + done, bytes.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("Can not write " + path + ": " + std::strerror(errno));
    }
    done += static_cast<std::size_t>(put);
  }
  // A file that held more keeps nothing of it.
  while (::ftruncate(out.Get(), static_cast<off_t>(bytes.size())) != 0) {
    if (errno != EINTR) throw std::runtime_error("Can not write " + path + ": " + std::strerror(errno));
  }
}

std::string SystemErrorText(int code) { return std::strerror(code); }

}  // namespace chimewell::platform
