#include "host/launch.h"

#include <limits>

#include "platform/documents.h"
#include "platform/folder_name.h"
#include "platform/process.h"
#include "trace/trace.h"

namespace chimewell::host {
namespace {

// The launch values, process-wide: read on the main thread during the launch
// check, before any other thread exists, and fixed from then on.
std::string g_user_id;
platform::WindowHandle g_calendar_view_wnd = 0;

// The kept storage folders, filled at first use on the main thread.
std::string g_app_root_dir;
std::string g_data_dir;
std::string g_cache_dir;

std::string Sep() { return std::string(1, platform::PathSeparator()); }

int DigitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string LaunchField(const std::vector<std::string>& arguments, std::size_t index) {
  if (arguments.size() < 2) return {};
  std::string_view rest = arguments[1];
  for (std::size_t field = 0;; ++field) {
    const std::size_t bar = rest.find('|');
    if (field == index) return std::string(rest.substr(0, bar));
    if (bar == std::string_view::npos) return {};
    rest.remove_prefix(bar + 1);
  }
}

std::string GetLaunchParam(std::size_t index) {
  return LaunchField(platform::CommandLineArguments(), index);
}

std::optional<std::int64_t> ParseLaunchInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return std::nullopt;
  const std::uint64_t base = hex ? 16 : 10;
  // The magnitude may reach 2^63 only for a negative value.
  const std::uint64_t limit = std::uint64_t{std::numeric_limits<std::int64_t>::max()} + (negative ? 1 : 0);
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = DigitValue(text[i], hex);
    if (digit < 0) return std::nullopt;
    if (value > (limit - static_cast<std::uint64_t>(digit)) / base) return std::nullopt;
    value = value * base + static_cast<std::uint64_t>(digit);
  }
  return static_cast<std::int64_t>(negative ? ~value + 1 : value);
}

platform::WindowHandle WindowHandleFromText(std::string_view text) {
  const std::int64_t value = ParseLaunchInteger(text).value_or(0);
  return static_cast<platform::WindowHandle>(static_cast<std::uint64_t>(value) & 0xFFFFFFFFu);
}

const std::string& GetUserID() {
  if (g_user_id.empty()) g_user_id = GetLaunchParam(0);
  return g_user_id;
}

platform::WindowHandle GetCalendarViewWnd() {
  if (g_calendar_view_wnd == 0) g_calendar_view_wnd = WindowHandleFromText(GetLaunchParam(1));
  return g_calendar_view_wnd;
}

LaunchValues ProcessLaunchValues() { return {GetUserID(), GetCalendarViewWnd()}; }

std::string GetDocumentsDir() { return platform::DocumentsFolder(); }

std::string AppRootDirOf(const std::string& documents, char separator) {
  std::string root = documents;
  if (root.empty() || root.back() != separator) root += separator;
  return root + "Pelicorda" + separator + "Calendar" + separator;
}

std::string GetAppRootDir() {
  if (g_app_root_dir.empty()) g_app_root_dir = AppRootDirOf(GetDocumentsDir(), platform::PathSeparator());
  return g_app_root_dir;
}

std::string GetDataDir() {
  if (g_data_dir.empty()) g_data_dir = GetAppRootDir() + "Data" + Sep();
  return g_data_dir;
}

std::string GetCacheDir() {
  if (g_cache_dir.empty()) g_cache_dir = GetAppRootDir() + "Cache" + Sep();
  return g_cache_dir;
}

std::string GetUserDataDir(const std::string& user_id) {
  return GetDataDir() + "users" + Sep() + user_id + Sep();
}

std::string GetUserCacheDir(const std::string& user_id) {
  return GetCacheDir() + "users" + Sep() + user_id + Sep();
}

std::string GetReminderDBPath(const std::string& user_id) {
  return GetUserDataDir(user_id) + "reminder.db";
}

std::string GetTemplateDBPath() {
  const std::string exe = platform::ExecutablePath();
  const std::size_t cut = exe.find_last_of(Sep() + "/");
  const std::string folder = cut == std::string::npos ? std::string() : exe.substr(0, cut + 1);
  return folder + "templates" + Sep() + "base.db";
}

bool CheckLaunchContext() {
  // The user id becomes a folder name as it is: one that would climb out of
  // the users folder or into another user's is refused like a missing one.
  if (!platform::IsOneFolderName(GetUserID())) {
    trace::WriteError("Can not Get userid data.");
    return false;
  }
  const platform::WindowHandle view = GetCalendarViewWnd();
  if (view != 0 && platform::IsWindow(view)) {
    trace::WriteLogFmt("user : %s , CalendarVeiwWnd : 0x%x", GetUserID(), view);
    return true;
  }
  trace::WriteError("Can not Get CalendarVeiwWnd data.");
  return false;
}

}  // namespace chimewell::host
