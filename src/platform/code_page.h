// Conversions between the process's UTF-8 text and the system ANSI code page,
// the encoding of copy-data payloads. Windows: GetACP(). POSIX: UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace chimewell::platform {

// Bytes in the ANSI code page to UTF-8. Invalid bytes decode to U+FFFD.
std::string AnsiToUtf8(std::string_view ansi);

// UTF-8 (lone surrogates as WTF-8 allowed) to the ANSI code page. Characters
// the code page lacks become the code page's default character.
std::string Utf8ToAnsi(std::string_view utf8);

}  // namespace chimewell::platform
