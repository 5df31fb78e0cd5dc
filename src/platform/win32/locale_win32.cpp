#include "platform/win32/windows_api.h"

#include "platform/locale.h"
#include "platform/win32/wide.h"

namespace chimewell::platform {

std::string LocaleDecimalSeparator() {
  // The setting is at most three characters plus the terminating zero.
  wchar_t separator[8] = {};
  const int length = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator,
                                       static_cast<int>(sizeof separator / sizeof separator[0]));
  if (length <= 1) return ".";  // unreadable or empty: a number must still read as one
  return win32::Narrow(std::wstring_view(separator, static_cast<std::size_t>(length - 1)));
}

namespace {

// The user default locale's setting, or "" when it cannot be read.
std::string UserLocaleInfo(LCTYPE type) {
  wchar_t value[96] = {};
  const int length = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, value,
                                       static_cast<int>(sizeof value / sizeof value[0]));
  if (length <= 1) return "";
  return win32::Narrow(std::wstring_view(value, static_cast<std::size_t>(length - 1)));
}

}  // namespace

std::string LocaleTimeSeparator() {
  // The time format is what the user sees; LOCALE_STIME is its older twin.
  std::string separator = TimeSeparatorOfWindowsFormat(UserLocaleInfo(LOCALE_STIMEFORMAT));
  if (separator.empty()) separator = UserLocaleInfo(LOCALE_STIME);
  return separator.empty() ? ":" : separator;
}

}  // namespace chimewell::platform

namespace chimewell::platform {

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  const std::wstring wide_a = win32::Widen(a);
  const std::wstring wide_b = win32::Widen(b);
  return ::CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, wide_a.data(),
                           static_cast<int>(wide_a.size()), wide_b.data(),
                           static_cast<int>(wide_b.size()), nullptr, nullptr, 0) == CSTR_EQUAL;
}

}  // namespace chimewell::platform
