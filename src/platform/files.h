// The file operations the service needs, on UTF-8 paths.
#pragma once

#include <string>
#include <string_view>

namespace chimewell::platform {

// True when `path` names an existing file (not a folder).
bool FileExists(const std::string& path);
// True when `path` names an existing folder; a trailing separator is allowed.
bool DirectoryExists(const std::string& path);
// Creates the folder and every missing folder above it. True when the folder
// exists afterwards.
bool CreateDirectories(const std::string& path);

// These return 0 on success, otherwise the operating system's error code
// (GetLastError on Windows, errno on POSIX).
// Copies a file over whatever has that name (CopyFileW, bFailIfExists FALSE).
int CopyFileReplacing(const std::string& from, const std::string& to);
// Moves a file over whatever has that name in one step (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING; rename on POSIX): a reader sees the old file or
// the new one, never neither.
int MoveFileReplacing(const std::string& from, const std::string& to);
int DeleteFile(const std::string& path);

// Writes `bytes` as the whole content of the file, creating or truncating it.
// Throws std::runtime_error naming the path and the system's reason.
void WriteWholeFile(const std::string& path, std::string_view bytes);

// The text of an operating system error code.
std::string SystemErrorText(int code);

}  // namespace chimewell::platform
