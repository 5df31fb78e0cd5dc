// The last-resort report of an error nobody else handled.
#pragma once

#include <string>

namespace chimewell::platform {

// Shows `text` to the user in an error box titled `title` and waits until it
// is closed (Windows: MessageBoxW). Where there is no desktop to show it on
// (POSIX) it does nothing: the caller has traced the error already.
void ShowErrorMessage(const std::string& title, const std::string& text);

}  // namespace chimewell::platform
