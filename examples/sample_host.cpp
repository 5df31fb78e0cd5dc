// A sample calendar host: the whole calendar side of the Chimewell contract in
// one plain Win32 file that an integrator can copy. It
//   1. makes a message-only window as the calendar's view,
//   2. launches chimewell.exe with "<user id>|<view window>",
//   3. waits (with a timeout) for the first notification: the store is ready,
//   4. sends each command by WM_COPYDATA and checks the answer, re-reading the
//      today files on every notification,
//   5. closes the service (WM_CLOSE to its window) and waits for it to end.
// It exits with 0 when every step went as expected, 1 otherwise.
//
//   sample_host.exe [path\to\chimewell.exe] [user id]
//
// Defaults: chimewell.exe beside this program, user "sample". Only the
// Windows SDK is needed (kernel32, user32, shell32).
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
// After windows.h, which it builds on.
#include <shlobj.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace {

// The service's fixed spellings and message numbers.
constexpr wchar_t kServiceClass[] = L"ChimewellWnd";
constexpr ULONG_PTR kCommandCode = 10;      // calendar -> service
constexpr ULONG_PTR kNotificationCode = 2;  // service -> calendar
constexpr char kRefreshed[] = "{\"method\":\"ToayReminderDataRefreshed\"}";
constexpr LRESULT kDone = -1;  // what the service answers a command it carried out

constexpr DWORD kReadyTimeoutMs = 30000;
constexpr UINT kCommandTimeoutMs = 15000;
constexpr DWORD kCloseTimeoutMs = 15000;

// Copy-data text travels in the system's ANSI code page.
std::string Convert(const std::string& text, UINT from, UINT to) {
  if (text.empty()) return text;
  const int wide_size =
      ::MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(wide_size), L'\0');
  ::MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), wide.data(), wide_size);
  const int size = ::WideCharToMultiByte(to, 0, wide.data(), wide_size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(to, 0, wide.data(), wide_size, out.data(), size, nullptr, nullptr);
  return out;
}

// A whole file, or "" when it is absent. FILE_SHARE_DELETE matters: the
// service replaces a today file by renaming over it, and a reader that does
// not share delete keeps the old file in place until the next rebuild.
std::string ReadWholeFile(const std::wstring& path) {
  HANDLE file =
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(file, buffer, static_cast<DWORD>(sizeof buffer), &got, nullptr) && got > 0)
    text.append(buffer, got);
  ::CloseHandle(file);
  return text;
}

// What the view window knows: notifications so far and the today files as
// they were at the last one.
struct View {
  std::wstring today_folder;
  int notifications = 0;
  ULONGLONG first_notification_ms = 0;
  std::string reminders;    // reminder.json (UTF-8)
  std::string days_matter;  // daysmatter.json (UTF-8)
};

LRESULT CALLBACK ViewProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* view = reinterpret_cast<View*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_COPYDATA && view != nullptr) {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
    const std::string text(static_cast<const char*>(data->lpData), data->cbData);
    if (data->dwData == kNotificationCode && Convert(text, CP_ACP, CP_UTF8) == kRefreshed) {
      if (view->notifications++ == 0) view->first_notification_ms = ::GetTickCount64();
      // The files are complete whenever the notification comes: read them now.
      view->reminders = ReadWholeFile(view->today_folder + L"reminder.json");
      view->days_matter = ReadWholeFile(view->today_folder + L"daysmatter.json");
      return TRUE;
    }
    return FALSE;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

// Handles messages until `done()` holds or `timeout_ms` passes; false as soon
// as `process` ends.
template <typename Done>
bool Pump(HANDLE process, DWORD timeout_ms, Done done) {
  const ULONGLONG until = ::GetTickCount64() + timeout_ms;
  while (!done()) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= until) return false;
    const DWORD woke =
        ::MsgWaitForMultipleObjects(1, &process, FALSE, static_cast<DWORD>(until - now), QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0) return done();
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
  return true;
}

struct ServiceSearch {
  DWORD process_id;
  HWND found;
};

// The service's window: class ChimewellWnd, owned by the process we started
// (other users' services have windows of the same class).
HWND FindServiceWindow(DWORD process_id) {
  ServiceSearch search{process_id, nullptr};
  ::EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<ServiceSearch*>(param);
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        wchar_t name[64] = {};
        ::GetClassNameW(window, name, 64);
        if (owner == s->process_id && ::lstrcmpW(name, kServiceClass) == 0) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool Lists(const std::string& document, const std::string& item) {
  return document.find("\"ItemID\":\"" + item + "\"") != std::string::npos;
}

// Prints each check as it is made and counts the failed ones.
struct Checks {
  int failed = 0;
  void operator()(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failed;
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring service_exe;
  if (argc > 1) {
    service_exe = argv[1];
  } else {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    service_exe = self;
    service_exe = service_exe.substr(0, service_exe.find_last_of(L'\\') + 1) + L"chimewell.exe";
  }
  const std::wstring user = argc > 2 ? argv[2] : L"sample";

  View view;
  Checks check;
  wchar_t documents[MAX_PATH];
  if (!::SHGetSpecialFolderPathW(nullptr, documents, CSIDL_PERSONAL, FALSE)) {
    std::fprintf(stderr, "no Documents folder\n");
    return 1;
  }
  view.today_folder =
      std::wstring(documents) + L"\\Pelicorda\\Calendar\\Cache\\users\\" + user + L"\\today\\";

  // 1. The view: a message-only window is enough, the service only sends to it.
  WNDCLASSEXW view_class{};
  view_class.cbSize = sizeof view_class;
  view_class.lpfnWndProc = ViewProc;
  view_class.hInstance = ::GetModuleHandleW(nullptr);
  view_class.lpszClassName = L"SampleCalendarView";
  ::RegisterClassExW(&view_class);
  HWND view_window = ::CreateWindowExW(0, view_class.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       view_class.hInstance, &view);
  if (view_window == nullptr) {
    std::fprintf(stderr, "CreateWindowExW failed: %lu\n", ::GetLastError());
    return 1;
  }

  // 2. Launch with "<user id>|<view window in decimal>".
  std::wstring command_line = L"\"" + service_exe + L"\" \"" + user + L"|" +
                              std::to_wstring(reinterpret_cast<ULONG_PTR>(view_window)) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION service{};
  const ULONGLONG launched_ms = ::GetTickCount64();
  if (!::CreateProcessW(service_exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &service)) {
    std::fprintf(stderr, "can not start %ls: %lu\n", service_exe.c_str(), ::GetLastError());
    return 1;
  }
  ::CloseHandle(service.hThread);

  // 3. Ready: the first notification. Commands sent before it answer -1 and
  // change nothing.
  if (!Pump(service.hProcess, kReadyTimeoutMs, [&] { return view.notifications > 0; })) {
    std::fprintf(stderr, "no first notification within %lu ms (service %s)\n", kReadyTimeoutMs,
                 ::WaitForSingleObject(service.hProcess, 0) == WAIT_OBJECT_0 ? "ended" : "running");
    ::TerminateProcess(service.hProcess, 1);
    return 1;
  }
  std::printf("ready: first notification %s ms after the launch\n",
              std::to_string(view.first_notification_ms - launched_ms).c_str());
  HWND service_window = FindServiceWindow(service.dwProcessId);
  check(service_window != nullptr, "the service window (class ChimewellWnd) of the launched process");

  // 4. Commands. The send returns once the command is carried out, the today
  // files are rebuilt and the notification delivered; SMTO_NORMAL lets this
  // thread take that notification while it waits.
  const std::string now = std::to_string(static_cast<long long>(std::time(nullptr)));
  const std::string timed = R"({"CalendarID":"Work","ItemID":"t1","ReminderType":0,"StartTime":)" + now +
                            R"(,"Repeat":0,"RepeatEnd":0)";
  const std::string day_entry = R"({"CalendarID":"Home","ItemID":"d1","ReminderType":1,"StartTime":)" + now +
                                R"(,"Repeat":0,"RepeatEnd":0,"Enabled":1})";
  struct Step {
    const char* what;
    std::string json;
    bool rebuilds;
    bool (*expect)(const View&);
  };
  const Step steps[] = {
      {"Append a one-off timed reminder for now: listed in reminder.json",
       R"({"method":"Reminder.Append","data":)" + timed + R"(,"Enabled":1}})", true,
       [](const View& v) { return Lists(v.reminders, "t1"); }},
      {"Append a day-level entry for today: listed in daysmatter.json",
       R"({"method":"Reminder.Append","data":)" + day_entry + "}", true,
       [](const View& v) { return Lists(v.days_matter, "d1"); }},
      {"Update the reminder disabled: reminder.json is gone (nothing listed)",
       R"({"method":"Reminder.Update","data":)" + timed + R"(,"Enabled":0}})", true,
       [](const View& v) { return v.reminders.empty(); }},
      {"Update it enabled again: listed again",
       R"({"method":"Reminder.Update","data":)" + timed + R"(,"Enabled":1}})", true,
       [](const View& v) { return Lists(v.reminders, "t1"); }},
      {"Alert it: recorded, no rebuild yet", R"({"method":"Reminder.Alert","data":{"Items":["t1"]}})", false,
       nullptr},
      {"Delete the day-level entry: both files gone (the alerted reminder left at this rebuild)",
       R"({"method":"Reminder.Delete","data":{"CalendarID":"Home","ItemID":"d1"}})", true,
       [](const View& v) { return v.days_matter.empty() && v.reminders.empty(); }},
      {"Clear the calendar Work: no rebuild", R"({"method":"Reminder.Clear","data":{"CalendarID":"Work"}})",
       false, nullptr},
  };
  for (const Step& step : steps) {
    if (service_window == nullptr) break;
    const std::string payload = Convert(step.json, CP_UTF8, CP_ACP);
    COPYDATASTRUCT data{};
    data.dwData = kCommandCode;
    data.cbData = static_cast<DWORD>(payload.size());  // no terminating zero
    data.lpData = const_cast<char*>(payload.data());
    const int before = view.notifications;
    DWORD_PTR answer = 0;
    const bool sent =
        ::SendMessageTimeoutW(service_window, WM_COPYDATA, reinterpret_cast<WPARAM>(view_window),
                              reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, kCommandTimeoutMs, &answer) != 0;
    bool ok = sent && static_cast<LRESULT>(answer) == kDone;
    ok = ok && view.notifications == before + (step.rebuilds ? 1 : 0);
    ok = ok && (step.expect == nullptr || step.expect(view));
    check(ok, step.what);
  }

  // 5. Close at calendar exit: the service ends with exit code 0.
  if (service_window != nullptr) ::PostMessageW(service_window, WM_CLOSE, 0, 0);
  DWORD exit_code = 1;
  const bool ended = ::WaitForSingleObject(service.hProcess, kCloseTimeoutMs) == WAIT_OBJECT_0 &&
                     ::GetExitCodeProcess(service.hProcess, &exit_code) && exit_code == 0;
  check(ended, "WM_CLOSE ends the service with exit code 0");
  if (!ended) ::TerminateProcess(service.hProcess, 1);
  ::CloseHandle(service.hProcess);
  ::DestroyWindow(view_window);
  std::printf("%s\n", check.failed == 0 ? "all steps passed" : "some steps failed");
  return check.failed == 0 ? 0 : 1;
}
