#include "platform/win32/windows_api.h"

#include <algorithm>

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

  void WriteWholeFile(const std::string& path, std::string_view bytes) override {
    UniqueHandle file(::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) Fail(FileStep::kWrite, "Can not create " + path);
    for (std::size_t done = 0; done < bytes.size();) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
      DWORD written = 0;
      if (!::WriteFile(file.Get(), bytes.data() + done, chunk, &written, nullptr)) {
        Fail(FileStep::kWrite, "Can not write " + path);
      }
      done += written;
    }
  }

  void SyncFile(const std::string& path) override {
    UniqueHandle file(::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid() || !::FlushFileBuffers(file.Get())) Fail(FileStep::kSync, "Can not flush " + path);
  }

  void DeleteFile(const std::string& path) override {
    if (!::DeleteFileW(Wide(path).c_str())) Fail(FileStep::kDelete, "Can not delete " + path);
  }

  void MoveFileReplacing(const std::string& from, const std::string& to) override {
    if (!::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      Fail(FileStep::kMove, "Can not move " + from + " to " + to);
    }
  }

  void CopyFileReplacing(const std::string& from, const std::string& to) override {
    if (!::CopyFileW(Wide(from).c_str(), Wide(to).c_str(), FALSE)) {
      Fail(FileStep::kCopy, "Can not copy " + from + " to " + to);
    }
  }
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
