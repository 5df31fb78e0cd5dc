#include "platform/win32/windows_api.h"

#include <stdexcept>

#include "platform/files.h"
#include "platform/win32/wide.h"

namespace chimewell::platform {
namespace {

using win32::Narrow;

std::wstring Wide(const std::string& utf8) { return win32::Widen(utf8); }

int LastErrorOr0(BOOL ok) { return ok ? 0 : static_cast<int>(::GetLastError()); }

// Closes a file handle on scope exit.
struct FileHandle {
  HANDLE handle;
  ~FileHandle() {
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) ::CloseHandle(handle);
  }
};

}  // namespace

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDirectories(const std::string& path) {
  if (path.empty()) return false;
  // Make each missing folder from the top down; a drive root or a folder that
  // appears meanwhile is fine.
  for (std::size_t cut = path.find_first_of("\\/", 1);; cut = path.find_first_of("\\/", cut + 1)) {
    const std::string prefix = path.substr(0, cut);
    if (!prefix.empty() && prefix.back() != ':' && !DirectoryExists(prefix)) {
      ::CreateDirectoryW(Wide(prefix).c_str(), nullptr);
    }
    if (cut == std::string::npos) break;
  }
  return DirectoryExists(path);
}

int CopyFileReplacing(const std::string& from, const std::string& to) {
  return LastErrorOr0(::CopyFileW(Wide(from).c_str(), Wide(to).c_str(), FALSE));
}

int MoveFileReplacing(const std::string& from, const std::string& to) {
  return LastErrorOr0(
      ::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING));
}

int DeleteFile(const std::string& path) { return LastErrorOr0(::DeleteFileW(Wide(path).c_str())); }

void WriteWholeFile(const std::string& path, std::string_view bytes) {
  FileHandle file{::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) {
    throw std::runtime_error("Can not create " + path + ": " +
                             SystemErrorText(static_cast<int>(::GetLastError())));
  }
  for (std::size_t done = 0; done < bytes.size();) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(file.handle, bytes.data() + done, chunk, &written, nullptr)) {
      throw std::runtime_error("Can not write " + path + ": " +
                               SystemErrorText(static_cast<int>(::GetLastError())));
    }
    done += written;
  }
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
