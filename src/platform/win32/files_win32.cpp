#include "platform/win32/windows_api.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/files.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace chimewell::platform {
namespace {

using win32::Narrow;
using win32::UniqueHandle;

std::wstring Wide(const std::string& utf8) { return win32::Widen(utf8); }

[[noreturn]] void FailWith(FileStep step, DWORD code, const std::string& what) {
  throw FileError(step, static_cast<int>(code), what + ": " + SystemErrorText(static_cast<int>(code)));
}

[[noreturn]] void Fail(FileStep step, const std::string& what) { FailWith(step, ::GetLastError(), what); }

// An existing file that CreateFileW(CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL)
// refuses to overwrite (read-only, hidden or system) or a folder is refused
// here too, although the writer never opens the name itself. A link
// (reparse point) is replaced whatever its attributes: they are its own.
void RefuseWhatCreateAlwaysRefuses(FileStep step, const std::string& path,
                                   const std::string& what) {
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return;
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                    FILE_ATTRIBUTE_SYSTEM)) {
    FailWith(step, ERROR_ACCESS_DENIED, what);
  }
}

// A new file beside the name it is made for, in the same folder, under a
// name of its own; removed again unless it was moved over that name.
class NewFileBeside {
 public:
  // `make` creates the file under the name given and must fail on any
  // existing name (CREATE_NEW), so that nothing planted there is used.
  NewFileBeside(const std::string& path, std::atomic<std::uint32_t>& counter, FileStep step,
                const std::string& what, const std::function<bool(const std::wstring&)>& make)
      : path_(path) {
    for (int attempt = 0;; ++attempt) {
      name_ = path + ".~" + std::to_string(::GetCurrentProcessId()) + "-" +
              std::to_string(counter++) + ".new";
      if (make(Wide(name_))) return;
      const DWORD error = ::GetLastError();
      // Taken: left by a process of the same id that died, or planted.
      if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt >= 100) {
        name_.clear();
        FailWith(step, error, what);
      }
    }
  }
  ~NewFileBeside() {
    // After a failure: the error on its way up says what went wrong; the
    // file is ours alone and only its name is left to clean.
    if (!name_.empty()) ::DeleteFileW(Wide(name_).c_str());
  }
  NewFileBeside(const NewFileBeside&) = delete;
  NewFileBeside& operator=(const NewFileBeside&) = delete;

  const std::string& Name() const { return name_; }

  // A rename replaces whatever has the name, a link too, and never writes
  // through it.
  void MoveInPlace(FileStep step, const std::string& what) {
    if (!::MoveFileExW(Wide(name_).c_str(), Wide(path_).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      Fail(step, what);
    }
    name_.clear();
  }

 private:
  std::string path_;
  std::string name_;
};

class Win32FileSystem final : public FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool DirectoryExists(const std::string& path) override {
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  void CreateDirectories(const std::string& path) override {
    if (path.empty()) FailWith(FileStep::kCreateDirectories, ERROR_PATH_NOT_FOUND, "Can not create dir " + path);
    // Make each missing folder from the top down; a drive root or a folder that
    // appears meanwhile is fine.
    for (std::size_t cut = path.find_first_of("\\/", 1);; cut = path.find_first_of("\\/", cut + 1)) {
      const std::string prefix = path.substr(0, cut);
      if (!prefix.empty() && prefix.back() != ':' && !DirectoryExists(prefix) &&
          !::CreateDirectoryW(Wide(prefix).c_str(), nullptr)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS || !DirectoryExists(prefix)) {
          FailWith(FileStep::kCreateDirectories, error, "Can not create dir " + prefix);
        }
      }
      if (cut == std::string::npos) break;
    }
    if (!DirectoryExists(path)) {
      FailWith(FileStep::kCreateDirectories, ERROR_DIRECTORY, "Can not create dir " + path);
    }
  }

  std::string ReadWholeFile(const std::string& path) override {
    UniqueHandle file(::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) Fail(FileStep::kRead, "Can not open " + path);
    std::string content;
    char buffer[65536];
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) {
        Fail(FileStep::kRead, "Can not read " + path);
      }
      if (got == 0) return content;
      content.append(buffer, got);
    }
  }

  // Written under a new name beside `path`, then moved over it: a link
  // planted at `path` is replaced, never written through.
  void WriteWholeFile(const std::string& path, std::string_view bytes) override {
    const std::string cannot_create = "Can not create " + path;
    RefuseWhatCreateAlwaysRefuses(FileStep::kWrite, path, cannot_create);
    UniqueHandle file;
    NewFileBeside fresh(path, counter_, FileStep::kWrite, cannot_create, [&](const std::wstring& name) {
      file.Reset(::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
      return file.Valid();
    });
    for (std::size_t done = 0; done < bytes.size();) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
      DWORD written = 0;
      if (!::WriteFile(file.Get(), bytes.data() + done, chunk, &written, nullptr)) {
        Fail(FileStep::kWrite, "Can not write " + path);
      }
      done += written;
    }
    file.Reset();
    fresh.MoveInPlace(FileStep::kWrite, cannot_create);
  }

  void SyncFile(const std::string& path) override {
    UniqueHandle file(::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid() || !::FlushFileBuffers(file.Get())) Fail(FileStep::kSync, "Can not flush " + path);
  }

  // Windows deletes a link itself, but under Wine a Unix link shows as the
  // file it points to and DeleteFileW removes that file. So a new empty file
  // is moved over the name first (a rename replaces a link) and then deleted:
  // only the service's own file is ever removed. A missing name, a folder or
  // a read-only file fails as DeleteFileW fails on it.
  void DeleteFile(const std::string& path) override {
    const std::string cannot_delete = "Can not delete " + path;
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) Fail(FileStep::kDelete, cannot_delete);
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) {
      FailWith(FileStep::kDelete, ERROR_ACCESS_DENIED, cannot_delete);
    }
    NewFileBeside empty(path, counter_, FileStep::kDelete, cannot_delete, [](const std::wstring& name) {
      return UniqueHandle(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr))
          .Valid();
    });
    empty.MoveInPlace(FileStep::kDelete, cannot_delete);
    if (!::DeleteFileW(Wide(path).c_str())) Fail(FileStep::kDelete, cannot_delete);
  }

  void MoveFileReplacing(const std::string& from, const std::string& to) override {
    if (!::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      Fail(FileStep::kMove, "Can not move " + from + " to " + to);
    }
  }

  // Copied to a new name beside `to`, then moved over it, as WriteWholeFile.
  void CopyFileReplacing(const std::string& from, const std::string& to) override {
    const std::string cannot_copy = "Can not copy " + from + " to " + to;
    RefuseWhatCreateAlwaysRefuses(FileStep::kCopy, to, cannot_copy);
    NewFileBeside fresh(to, counter_, FileStep::kCopy, cannot_copy, [&](const std::wstring& name) {
      return ::CopyFileW(Wide(from).c_str(), name.c_str(), TRUE) != FALSE;
    });
    fresh.MoveInPlace(FileStep::kCopy, cannot_copy);
  }

 private:
  // Numbers the new files of this process.
  std::atomic<std::uint32_t> counter_{0};
};

}  // namespace

FileSystem& RealFileSystem() {
  static Win32FileSystem files;
  return files;
}

std::string SystemErrorText(int code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (buffer != nullptr) {
    text.assign(buffer, length);
    ::LocalFree(buffer);
  }
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(code) : Narrow(text);
}

}  // namespace chimewell::platform
