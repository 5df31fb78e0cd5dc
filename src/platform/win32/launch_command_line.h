// Writing an argument list as one command line that SplitCommandLine
// (platform/command_line.h) reads back. Portable so that it is tested natively;
// the Windows backend hands its result to CreateProcessW.
#pragma once

#include <string>
#include <vector>

namespace chimewell::platform::win32 {

// Joins the arguments with one blank. An argument holding a separator (codes 1
// to 32) is put in double quotes, and so is an empty one, which the splitter
// then skips as the launcher always has. An argument with a double quote or a
// NUL has no spelling under the rule (there is no escape character): throws
// std::invalid_argument naming it.
std::string JoinLaunchCommandLine(const std::vector<std::string>& arguments);

}  // namespace chimewell::platform::win32
