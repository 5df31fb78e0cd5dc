// Whether other users can change a file or folder.
#pragma once

#include <optional>
#include <string>

namespace chimewell::platform {

// POSIX: why other users could change what is at `path` (it belongs to
// another user, or its mode lets others write it), nullopt when it is the
// effective user's and not writable by others, or does not exist. Windows:
// the access list decides; always nullopt.
std::optional<std::string> WhyOthersCanChange(const std::string& path);

}  // namespace chimewell::platform
