// The user's locale settings that text formatting depends on.
#pragma once

#include <string>
#include <string_view>

namespace chimewell::platform {

// The decimal separator of the user's locale, as UTF-8 (one or a few
// characters). Windows: the user default locale's setting, "." when it cannot
// be read. POSIX: always ".".
std::string LocaleDecimalSeparator();

// The time separator of the user's locale, as UTF-8: what stands between
// hours and minutes in its time format (Windows: LOCALE_STIMEFORMAT, else
// LOCALE_STIME; POSIX: the LC_TIME time format of the environment's locale).
// ":" when the setting cannot be read or has none (the C locale). Read anew
// at each call; callers that need it often keep it.
std::string LocaleTimeSeparator();

// The separator that a time format puts between hours and minutes, in the
// format's own notation: Windows ("HH.mm.ss", "h:mm:ss tt", quoted literals)
// or POSIX strftime ("%H.%M.%S", "%T", "%r"). "" when it has none. Portable,
// so both notations are tested natively.
std::string TimeSeparatorOfWindowsFormat(std::string_view format);
std::string TimeSeparatorOfStrftimeFormat(std::string_view format);

// True when the two texts are equal under the user's locale rules for
// letter case (Windows: CompareStringEx with NORM_IGNORECASE on the user
// default locale). POSIX: ASCII letters fold, everything else must match.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

}  // namespace chimewell::platform
