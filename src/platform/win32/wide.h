// UTF-8 (WTF-8) <-> the UTF-16 of the W functions, lone surrogates kept both ways.
#pragma once

#include <string>
#include <string_view>

namespace chimewell::platform::win32 {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace chimewell::platform::win32
