// The Win32 message loop. Service windows are real top-level windows that are
// never shown: a message-only window would get no broadcast (WM_TIMECHANGE)
// and FindWindowW could not see it. Timers are window timers on a
// message-only window the loop owns. No exception may unwind through a window
// procedure: the system's frames in between know nothing of C++.
#include "platform/win32/windows_api.h"

#include <map>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include "platform/debug_output.h"
#include "platform/files.h"
#include "platform/message_loop.h"
#include "platform/win32/wide.h"
#include "platform/win32/window_handle.h"

namespace chimewell::platform {
namespace {

using win32::Narrow;
using win32::ToHwnd;
using win32::ToWindowHandle;
using win32::Widen;

constexpr wchar_t kTimerWindowClass[] = L"ChimewellLoopTimers";

struct WindowDestroyer {
  void operator()(HWND window) const { ::DestroyWindow(window); }
};
using UniqueWindow = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroyer>;

[[noreturn]] void ThrowLastError(const std::string& what) {
  throw std::runtime_error(what + ": " + SystemErrorText(static_cast<int>(::GetLastError())));
}

HINSTANCE ThisModule() { return ::GetModuleHandleW(nullptr); }

// Registers the class with `procedure` unless that is done. A class of the same
// name with another procedure is refused: its windows would never reach our handlers.
void EnsureClass(const std::wstring& name, WNDPROC procedure) {
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof existing;
  if (::GetClassInfoExW(ThisModule(), name.c_str(), &existing)) {
    if (existing.lpfnWndProc == procedure) return;
    throw std::runtime_error("The window class " + Narrow(name) + " belongs to other windows");
  }
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = procedure;
  window_class.hInstance = ThisModule();
  window_class.lpszClassName = name.c_str();
  // Another thread may have registered it since the look-up: that is fine.
  if (!::RegisterClassExW(&window_class) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    ThrowLastError("Can not register the window class " + Narrow(name));
  }
}

// Keeps the pointer given to CreateWindowExW in the window, for its procedure.
template <typename T>
T* WindowData(HWND window, UINT message, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  return reinterpret_cast<T*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

struct TimerState {
  std::function<void()> on_timer;
  std::uint32_t interval = 1000;
  bool enabled = false;
};

class Win32MessageLoop;

// What the procedure of a hidden window needs.
struct WindowState {
  Win32MessageLoop* loop;
  WindowHandler* handler;
};

class Win32Window final : public Window {
 public:
  Win32Window(UniqueWindow window, std::unique_ptr<WindowState> state)
      : state_(std::move(state)), window_(std::move(window)) {}
  ~Win32Window() override {
    // Whatever the window still receives while it is destroyed goes to the
    // default procedure, not to a handler that may be gone.
    ::SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
    window_.reset();
  }
  WindowHandle Handle() const override { return ToWindowHandle(window_.get()); }

 private:
  std::unique_ptr<WindowState> state_;
  UniqueWindow window_;
};

class Win32Timer final : public Timer {
 public:
  Win32Timer(Win32MessageLoop& loop, std::function<void()> on_timer);
  ~Win32Timer() override;
  void SetInterval(std::uint32_t milliseconds) override {
    state_.interval = milliseconds;
    if (state_.enabled) Arm();
  }
  std::uint32_t Interval() const override { return state_.interval; }
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return state_.enabled; }

 private:
  void Arm();  // (re)starts the interval from now
  Win32MessageLoop& loop_;
  TimerState state_;
  UINT_PTR id_;
};

class Win32MessageLoop final : public MessageLoop {
 public:
  Win32MessageLoop();

  std::unique_ptr<Window> CreateHiddenWindow(const std::string& class_name,
                                             const std::string& title,
                                             WindowHandler& handler) override;
  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_timer) override {
    return std::make_unique<Win32Timer>(*this, std::move(on_timer));
  }
  void AllowCopyDataFromOtherProcesses() override {
    // Fails only where there is no filter to open; nothing to do then.
    ::ChangeWindowMessageFilter(WM_COPYDATA, MSGFLT_ADD);
  }
  void Run() override;
  void Quit() override { ::PostQuitMessage(0); }
  SendResult SendCopyData(WindowHandle target, std::uint64_t code,
                          std::string_view payload) override;
  SendResult SendTimeChange(WindowHandle target) override {
    return Send(ToHwnd(target), WM_TIMECHANGE, 0);
  }
  SendResult SendClose(WindowHandle target) override { return Send(ToHwnd(target), WM_CLOSE, 0); }
  void SetErrorReporter(std::function<void(const std::string&)> reporter) override {
    reporter_ = std::move(reporter);
  }

  // Runs a handler; what it throws goes to the error reporter.
  template <typename F>
  void Guarded(F&& call) noexcept {
    try {
      call();
    } catch (const std::exception& error) {
      Report(error.what());
    } catch (...) {
      Report("Unknown error in a message handler");
    }
  }

  HWND TimerWindow() const { return timer_window_.get(); }
  UINT_PTR AddTimer(TimerState& timer) {
    timers_[next_timer_id_] = &timer;
    return next_timer_id_++;
  }
  void RemoveTimer(UINT_PTR id) { timers_.erase(id); }
  void FireTimer(UINT_PTR id) {
    const auto timer = timers_.find(id);
    if (timer != timers_.end() && timer->second->enabled) Guarded(timer->second->on_timer);
  }

 private:
  SendResult Send(HWND target, UINT message, LPARAM lparam);
  void Report(const std::string& text) noexcept;

  UniqueWindow timer_window_;
  std::map<UINT_PTR, TimerState*> timers_;
  UINT_PTR next_timer_id_ = 1;
  std::function<void(const std::string&)> reporter_;
};

LRESULT CALLBACK TimerWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* loop = WindowData<Win32MessageLoop>(window, message, lparam);
  if (message == WM_TIMER && loop != nullptr) {
    loop->FireTimer(static_cast<UINT_PTR>(wparam));
    return 0;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  const auto* state = WindowData<const WindowState>(window, message, lparam);
  if (state == nullptr) return ::DefWindowProcW(window, message, wparam, lparam);
  // A handler may destroy this window, and `state` with it: keep what is needed.
  Win32MessageLoop& loop = *state->loop;
  WindowHandler& handler = *state->handler;
  switch (message) {
    case WM_COPYDATA: {
      const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
      std::intptr_t result = 0;
      if (data != nullptr) {
        const std::string_view payload(static_cast<const char*>(data->lpData),
                                       data->lpData != nullptr ? data->cbData : 0);
        loop.Guarded([&] { result = handler.OnCopyData(data->dwData, payload); });
      }
      return result;
    }
    case WM_TIMECHANGE:
      loop.Guarded([&] { handler.OnTimeChange(); });
      return 0;
    case WM_POWERBROADCAST:
      if (wparam == PBT_APMRESUMEAUTOMATIC) loop.Guarded([&] { handler.OnResume(); });
      return TRUE;
    case WM_CLOSE:
      // Not DefWindowProc: it would destroy the window under its owner.
      // A posted close carries the asker's process id in wparam.
      loop.Guarded([&] { handler.OnClose(static_cast<std::uint32_t>(wparam)); });
      loop.Quit();
      return 0;
    default:
      return ::DefWindowProcW(window, message, wparam, lparam);
  }
}

Win32Timer::Win32Timer(Win32MessageLoop& loop, std::function<void()> on_timer)
    : loop_(loop), id_(0) {
  state_.on_timer = std::move(on_timer);
  id_ = loop_.AddTimer(state_);
}

Win32Timer::~Win32Timer() {
  if (state_.enabled) ::KillTimer(loop_.TimerWindow(), id_);
  loop_.RemoveTimer(id_);
}

void Win32Timer::SetEnabled(bool enabled) {
  state_.enabled = enabled;
  if (enabled) {
    Arm();
  } else {
    ::KillTimer(loop_.TimerWindow(), id_);
  }
}

void Win32Timer::Arm() {
  // Setting a timer again under the same id starts its interval afresh.
  if (::SetTimer(loop_.TimerWindow(), id_, state_.interval, nullptr) == 0) {
    ThrowLastError("Can not start a timer");
  }
}

Win32MessageLoop::Win32MessageLoop() {
  EnsureClass(kTimerWindowClass, TimerWindowProc);
  timer_window_.reset(::CreateWindowExW(0, kTimerWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, ThisModule(), this));
  if (!timer_window_) ThrowLastError("Can not create the loop's timer window");
}

std::unique_ptr<Window> Win32MessageLoop::CreateHiddenWindow(const std::string& class_name,
                                                             const std::string& title,
                                                             WindowHandler& handler) {
  if (class_name.empty()) throw std::runtime_error("Invalid window class name ''");
  const std::wstring wide_class = Widen(class_name);
  EnsureClass(wide_class, HiddenWindowProc);
  auto state = std::make_unique<WindowState>(WindowState{this, &handler});
  UniqueWindow window(::CreateWindowExW(0, wide_class.c_str(), Widen(title).c_str(), WS_POPUP, 0, 0,
                                        0, 0, nullptr, nullptr, ThisModule(), state.get()));
  if (!window) ThrowLastError("Can not create a window of class " + class_name);
  return std::make_unique<Win32Window>(std::move(window), std::move(state));
}

void Win32MessageLoop::Run() {
  MSG message;
  for (;;) {
    const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) return;  // WM_QUIT
    if (got < 0) {
      Report("GetMessageW failed: " + SystemErrorText(static_cast<int>(::GetLastError())));
      return;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

SendResult Win32MessageLoop::SendCopyData(WindowHandle target, std::uint64_t code,
                                          std::string_view payload) {
  if (payload.size() > 0xFFFFFFFFu) return {};  // cbData is 32 bits wide
  COPYDATASTRUCT data{};
  data.dwData = static_cast<ULONG_PTR>(code);
  data.cbData = static_cast<DWORD>(payload.size());
  data.lpData = const_cast<char*>(payload.data());
  return Send(ToHwnd(target), WM_COPYDATA, reinterpret_cast<LPARAM>(&data));
}

SendResult Win32MessageLoop::Send(HWND target, UINT message, LPARAM lparam) {
  SendResult outcome;
  // A handle from outside must never turn a send into a broadcast.
  if (target == nullptr || target == HWND_BROADCAST) return outcome;
  ::SetLastError(0);
  const LRESULT result = ::SendMessageW(target, message, 0, lparam);
  const DWORD error = ::GetLastError();
  // Whose window it is matters only when the send reported an error: the
  // question is a round trip to the window server for a window of another
  // process. A window of this thread is called directly, so the error code is
  // whatever its handler left; for any other it tells how the send went (a
  // window that is gone belongs to no thread).
  const bool own_thread =
      error != 0 && ::GetWindowThreadProcessId(target, nullptr) == ::GetCurrentThreadId();
  if (error == 0 || own_thread) {
    outcome.delivered = true;
    outcome.result = static_cast<std::intptr_t>(result);
  } else if (error == ERROR_ACCESS_DENIED) {
    outcome.access_denied = true;
  }
  return outcome;
}

void Win32MessageLoop::Report(const std::string& text) noexcept {
  try {
    if (reporter_) {
      reporter_(text);
      return;
    }
    OutputDebugText(text);
  } catch (...) {
    // A reporter that fails has no one left to report to.
  }
}

}  // namespace

std::unique_ptr<MessageLoop> CreateMessageLoop() { return std::make_unique<Win32MessageLoop>(); }

bool IsWindow(WindowHandle handle) { return handle != 0 && ::IsWindow(ToHwnd(handle)) != FALSE; }

std::optional<WindowHandle> FindWindowByClass(const std::string& class_name) {
  const HWND window = ::FindWindowW(Widen(class_name).c_str(), nullptr);
  if (window == nullptr) return std::nullopt;
  return ToWindowHandle(window);
}

std::optional<std::uint32_t> WindowProcessId(WindowHandle handle) {
  DWORD process = 0;
  if (handle == 0 || ::GetWindowThreadProcessId(ToHwnd(handle), &process) == 0) return std::nullopt;
  return static_cast<std::uint32_t>(process);
}

bool PostClose(WindowHandle target, std::uint32_t asker) {
  return target != 0 && ::PostMessageW(ToHwnd(target), WM_CLOSE, asker, 0) != FALSE;
}

}  // namespace chimewell::platform
