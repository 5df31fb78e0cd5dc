// Fuzzes what the service reads from its command line and the text
// conversions at the platform boundary, with any byte string.
//
// Properties, beyond "no crash, no sanitizer report, no escaping exception":
//  - an argument list that JoinLaunchCommandLine can spell splits back into
//    the same arguments, less the empty ones, which the launcher's rule has
//    always skipped (the rule and our writer agree);
//  - the window field's handle is the low 32 bits of its integer conversion,
//    0 when it does not convert;
//  - a user id accepted as one folder name holds no path separator and is
//    neither "." nor "..";
//  - strict UTF-8 survives the round trip through UTF-16 byte for byte, and
//    Utf16Length counts the units of that conversion; text with encoded
//    surrogates (WTF-8) is stable after one round trip.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/launch.h"
#include "platform/command_line.h"
#include "platform/documents.h"
#include "platform/utf.h"
#include "platform/win32/launch_command_line.h"

namespace {

namespace host = chimewell::host;
namespace platform = chimewell::platform;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "launch_fuzzer: property broken: %s\n", what);
  std::abort();
}

void CheckRoundTrip(const std::vector<std::string>& arguments) {
  std::string line;
  try {
    line = platform::win32::JoinLaunchCommandLine(arguments);
  } catch (const std::invalid_argument&) {
    return;  // a double quote or a NUL has no spelling under the rule
  }
  std::vector<std::string> expected;
  for (const std::string& argument : arguments) {
    if (!argument.empty()) expected.push_back(argument);
  }
  if (platform::SplitCommandLine(line) != expected) Fail("split(join(arguments)) != arguments");
}

void CheckLaunchFields(const std::vector<std::string>& arguments) {
  const std::string user = host::LaunchField(arguments, 0);
  const std::string window = host::LaunchField(arguments, 1);
  const auto number = host::ParseLaunchInteger(window);
  const auto handle = host::WindowHandleFromText(window);
  const auto expected = number ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(*number)) : 0u;
  if (static_cast<std::uint32_t>(handle) != expected) Fail("handle is not the low 32 bits of the window field");
  if (platform::IsOneFolderName(user) &&
      (user.empty() || user == "." || user == ".." || user.find_first_of("/\\") != std::string::npos)) {
    Fail("a user id that leaves its folder was accepted");
  }
}

std::string RoundTrip(std::string_view utf8) { return platform::Utf16ToUtf8(platform::Utf8ToUtf16(utf8)); }

void CheckText(std::string_view bytes) {
  const std::string strict = platform::StrictUtf8(bytes);
  if (RoundTrip(strict) != strict) Fail("UTF-8 -> UTF-16 -> UTF-8 changed strict text");
  const std::string wtf8 = platform::SanitizeUtf8(bytes);
  if (platform::Utf16Length(wtf8) != platform::Utf8ToUtf16(wtf8).size()) {
    Fail("Utf16Length disagrees with the conversion");
  }
  // An encoded surrogate pair comes back as one four-byte character.
  const std::string once = RoundTrip(wtf8);
  if (RoundTrip(once) != once) Fail("a second round trip changed the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> arguments = platform::SplitCommandLine(bytes);
  CheckRoundTrip(arguments);
  // As the service sees it: the program first, then the launch parameter.
  arguments.insert(arguments.begin(), "chimewell");
  CheckLaunchFields(arguments);
  CheckText(bytes);
  return 0;
}
