// Launch values: the user id and the calendar view window, read from the
// process's first argument "<user id>|<window>" and kept for the process's life.
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

// The launch parameter's field of the running process.
std::string GetLaunchParam(std::size_t index);

// The integer conversion of the window field: leading blanks, an optional
// sign, decimal digits or hexadecimal after "$", "x", "X" or "0x"/"0X", digits
// up to the end, within the signed 64-bit range. Anything else: nullopt.
std::optional<std::int64_t> ParseLaunchInteger(std::string_view text);

// The window handle a window field names: the low 32 bits of its conversion,
// 0 when it does not convert.
platform::WindowHandle WindowHandleFromText(std::string_view text);

// The cached launch values. While a value is still unset ("" / 0) each call
// reads the command line again; once set it never changes.
const std::string& GetUserID();
platform::WindowHandle GetCalendarViewWnd();

// The launch values the service object works with: the process reads them
// once and hands them over, so nothing below the process entry reads them
// from the command line.
struct LaunchValues {
  std::string user_id;
  platform::WindowHandle calendar_view_wnd = 0;
};
LaunchValues ProcessLaunchValues();

// Storage locations. Folders end with the platform's separator. The root,
// data and cache folders are computed once and kept; the per-user paths are
// joined afresh at each call. None of these looks at the disk.
std::string GetDocumentsDir();
std::string GetAppRootDir();
std::string GetDataDir();
std::string GetCacheDir();
std::string GetUserDataDir(const std::string& user_id);
std::string GetUserCacheDir(const std::string& user_id);
std::string GetReminderDBPath(const std::string& user_id);
// The template store shipped beside the executable: <exe folder>templates<sep>base.db.
std::string GetTemplateDBPath();

// The root below a Documents folder: documents, a separator unless it already
// ends with one, then "Pelicorda", "Calendar", each followed by a separator.
std::string AppRootDirOf(const std::string& documents, char separator);

// True when the process may run: a user id and a live calendar view window.
// Traces why not.
bool CheckLaunchContext();

}  // namespace chimewell::host
