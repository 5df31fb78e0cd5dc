// The user's Documents folder, under which the service keeps its data.
#pragma once

#include <string>

namespace chimewell::platform {

// The current user's Documents folder as the platform reports it, or "" when
// it cannot. Windows: SHGetSpecialFolderPathW(CSIDL_PERSONAL), not created.
// POSIX: $XDG_DOCUMENTS_DIR, else the XDG_DOCUMENTS_DIR entry of
// ${XDG_CONFIG_HOME:-$HOME/.config}/user-dirs.dirs, else $HOME/Documents.
std::string DocumentsFolder();

}  // namespace chimewell::platform
