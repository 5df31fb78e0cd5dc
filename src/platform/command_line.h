// The launcher's rule for splitting a command line into arguments. Portable: the
// Windows backend uses it on GetCommandLineW, tests use it directly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace chimewell::platform {

// Arguments are separated by runs of characters with codes 1 to 32. A double
// quote opens a stretch, up to the next double quote, in which such characters
// belong to the argument; the quotes themselves are dropped and there is no
// escape character. A pair "" met where an argument would begin is skipped.
std::vector<std::string> SplitCommandLine(std::string_view command_line);

// Joins arguments the way a POSIX shell would read them back: plain words as
// they are, anything else in single quotes.
std::string JoinShellQuoted(const std::vector<std::string>& arguments);

}  // namespace chimewell::platform
