// Where the service keeps its data: the user's Documents folder, and which
// names can stand as one folder below it, so that a path the service builds
// neither climbs out of its parent nor nests deeper.
#pragma once

#include <string>
#include <string_view>

namespace chimewell::platform {

// The current user's Documents folder as the platform reports it, or "" when
// it cannot. Windows: SHGetSpecialFolderPathW(CSIDL_PERSONAL), not created.
// POSIX: $XDG_DOCUMENTS_DIR, else the XDG_DOCUMENTS_DIR entry of
// ${XDG_CONFIG_HOME:-$HOME/.config}/user-dirs.dirs, else $HOME/Documents.
std::string DocumentsFolder();

// False for "", "." and "..", and for a text that holds "/" or "\" (both,
// on every target, so a store folder means the same everywhere) or, on
// Windows, ":" (a drive or a stream name). Everything else is the caller's
// text as it is.
bool IsOneFolderName(std::string_view name);

}  // namespace chimewell::platform
