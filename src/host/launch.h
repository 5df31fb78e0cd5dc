// Launch values: the user id and the calendar view window, read from the
// process's first argument "<user id>|<window>".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/message_loop.h"

namespace chimewell::host {

// Field `index` of the launch parameter (arguments[1] split at every "|"), or
// "" when there is no such argument or field. arguments[0] is the program.
std::string LaunchField(const std::vector<std::string>& arguments, std::size_t index);

// The integer conversion of the window field: leading blanks, an optional
// sign, decimal digits or hexadecimal after "$", "x", "X" or "0x"/"0X", digits
// up to the end, within the signed 64-bit range. Anything else: nullopt.
std::optional<std::int64_t> ParseLaunchInteger(std::string_view text);

// The window handle a window field names: the low 32 bits of its conversion,
// 0 when it does not convert.
platform::WindowHandle WindowHandleFromText(std::string_view text);

// The launch values the service object works with: the process reads them
// once and hands them over, so nothing below the process entry reads them
// from the command line.
struct LaunchValues {
  std::string user_id;
  platform::WindowHandle calendar_view_wnd = 0;
};
// The running process's: fields 0 and 1 of its launch parameter.
LaunchValues ProcessLaunchValues();

}  // namespace chimewell::host
