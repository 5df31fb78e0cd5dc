#include "platform/win32/wide.h"

#include "platform/utf.h"

namespace chimewell::platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the W functions take UTF-16");

std::wstring Widen(std::string_view utf8) {
  const std::u16string units = Utf8ToUtf16(utf8);
  return std::wstring(units.begin(), units.end());
}

std::string Narrow(std::wstring_view utf16) {
  const std::u16string units(utf16.begin(), utf16.end());
  return Utf16ToUtf8(units);
}

}  // namespace chimewell::platform::win32
