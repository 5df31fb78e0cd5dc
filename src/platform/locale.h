// The user's locale settings that text formatting depends on.
#pragma once

#include <string>
#include <string_view>

namespace chimewell::platform {

// The decimal separator of the user's locale, as UTF-8 (one or a few
// characters). Windows: the user default locale's setting, "." when it cannot
// be read. POSIX: always ".".
std::string LocaleDecimalSeparator();

// True when the two texts are equal under the user's locale rules for
// letter case (Windows: CompareStringEx with NORM_IGNORECASE on the user
// default locale). POSIX: ASCII letters fold, everything else must match.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

}  // namespace chimewell::platform
