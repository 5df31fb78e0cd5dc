#include "platform/files.h"

namespace chimewell::platform {

std::string ReplacementName(const std::string& path) { return path + "~"; }

void ReplaceFileAtomically(FileSystem& files, const std::string& path,
                           const std::function<void(const std::string& replacement)>& fill) {
  const std::string replacement = ReplacementName(path);
  fill(replacement);
  // Without the sync a power cut soon after the move can leave `path` empty:
  // the move may reach the disk before the content does.
  files.SyncFile(replacement);
  files.MoveFileReplacing(replacement, path);
}

void ReplaceFileAtomically(FileSystem& files, const std::string& path, std::string_view bytes) {
  ReplaceFileAtomically(files, path,
                        [&](const std::string& replacement) { files.WriteWholeFile(replacement, bytes); });
}

}  // namespace chimewell::platform
