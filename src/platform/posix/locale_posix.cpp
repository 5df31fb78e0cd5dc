#include <langinfo.h>
#include <locale.h>

#include "platform/locale.h"
#include "platform/utf.h"

namespace chimewell::platform {

// The POSIX port formats numbers the same way whatever the environment says.
std::string LocaleDecimalSeparator() { return "."; }

std::string LocaleTimeSeparator() {
  // A locale object of its own: the process's global locale stays "C".
  const locale_t user = ::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
  if (user == static_cast<locale_t>(nullptr)) return ":";  // the environment names no usable locale
  std::string separator = TimeSeparatorOfStrftimeFormat(::nl_langinfo_l(T_FMT, user));
  ::freelocale(user);
  return separator.empty() ? ":" : separator;
}

}  // namespace chimewell::platform

namespace chimewell::platform {

// The POSIX port runs in the C locale: only ASCII letters have case.
bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  return EqualsIgnoringAsciiCase(a, b);
}

}  // namespace chimewell::platform
