// Whether a text can stand as one folder name inside a path the service
// builds, so that it neither climbs out of its parent nor nests deeper.
#pragma once

#include <string_view>

namespace chimewell::platform {

// False for "", "." and "..", and for a text that holds "/" or "\" (both,
// on every target, so a store folder means the same everywhere) or, on
// Windows, ":" (a drive or a stream name). Everything else is the caller's
// text as it is.
bool IsOneFolderName(std::string_view name);

}  // namespace chimewell::platform
