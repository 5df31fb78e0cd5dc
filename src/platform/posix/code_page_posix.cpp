#include "platform/code_page.h"
#include "platform/utf.h"

namespace chimewell::platform {

// The POSIX port's ANSI code page is UTF-8.
std::string AnsiToUtf8(std::string_view ansi) { return StrictUtf8(ansi); }

std::string Utf8ToAnsi(std::string_view utf8) { return StrictUtf8(utf8); }

}  // namespace chimewell::platform
