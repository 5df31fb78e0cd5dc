#include "platform/locale.h"
#include "platform/utf.h"

namespace chimewell::platform {

// The POSIX port formats numbers the same way whatever the environment says.
std::string LocaleDecimalSeparator() { return "."; }

}  // namespace chimewell::platform

namespace chimewell::platform {

// The POSIX port runs in the C locale: only ASCII letters have case.
bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  return EqualsIgnoringAsciiCase(a, b);
}

}  // namespace chimewell::platform
