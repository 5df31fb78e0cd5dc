// Hidden windows, the message loop of one thread, its timers and the copy-data
// transport between windows of any process of the same user.
//
// Windows: real top-level windows (never shown), GetMessage/DispatchMessage,
// SetTimer, SendMessageW(WM_COPYDATA). POSIX: the window bus (one listening
// Unix-domain socket per window under a private 0700 folder), poll() and
// CLOCK_BOOTTIME timers. Both deliver the same events to a WindowHandler.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace chimewell::platform {

// A window handle, 32 bits wide as on Win32 (handles of other processes fit).
using WindowHandle = std::uint32_t;

// What a window does with the messages it receives. Runs on the loop's thread.
// An exception that leaves a handler is caught by the loop and reported to its
// error reporter; the loop carries on.
class WindowHandler {
 public:
  virtual ~WindowHandler() = default;
  // WM_COPYDATA. `payload` holds the sender's bytes (ANSI code page) and lives
  // only during the call. The return value goes back to the sender.
  virtual std::intptr_t OnCopyData(std::uint64_t code, std::string_view payload) = 0;
  // WM_TIMECHANGE: the system clock was set.
  virtual void OnTimeChange() {}
  // The machine resumed from sleep (Windows: PBT_APMRESUMEAUTOMATIC).
  virtual void OnResume() {}
  // WM_CLOSE (POSIX: also SIGTERM and SIGINT). Every window is a main window:
  // once this returns, the loop quits as after MessageLoop::Quit(). `asker`
  // is the process id a PostClose named; 0 for any other close request.
  virtual void OnClose(std::uint32_t /*asker*/) {}
};

// Outcome of a synchronous send.
struct SendResult {
  // The target handled the message and `result` is its answer. False when the
  // window does not exist, the send broke off, or the receiver refused it.
  bool delivered = false;
  // The receiver refused the message (Win32: GetLastError() == ERROR_ACCESS_DENIED).
  bool access_denied = false;
  // The wait for the answer was broken off because the process was asked to
  // close (POSIX: SIGTERM or SIGINT); the loop delivers the close once the
  // handler that sent returns.
  bool interrupted = false;
  std::intptr_t result = 0;
};

class Window {
 public:
  virtual ~Window() = default;  // destroys the window
  virtual WindowHandle Handle() const = 0;
};

// A timer on the loop's thread, like a window timer: while enabled it fires
// every `interval` milliseconds, between messages, never inside a handler.
// Disabling or destroying it stops further firings.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetInterval(std::uint32_t milliseconds) = 0;  // restarts when enabled
  virtual std::uint32_t Interval() const = 0;
  virtual void SetEnabled(bool enabled) = 0;  // enabling starts a fresh interval
  virtual bool Enabled() const = 0;
};

// The message loop of the calling thread. One per thread; create, use and
// destroy it on that thread. Windows and timers must not outlive it.
class MessageLoop {
 public:
  virtual ~MessageLoop() = default;

  // Creates a hidden top-level window with this class name and title whose
  // messages go to `handler` (which must outlive the window). Throws
  // std::runtime_error with the reason when the window cannot be made (on
  // POSIX, for example, when the bus folder is unsafe).
  virtual std::unique_ptr<Window> CreateHiddenWindow(const std::string& class_name,
                                                     const std::string& title,
                                                     WindowHandler& handler) = 0;

  // A disabled timer with interval 1000 ms that calls `on_timer` when it fires.
  virtual std::unique_ptr<Timer> CreateTimer(std::function<void()> on_timer) = 0;

  // Lets WM_COPYDATA from processes of lower integrity reach this process's
  // windows (ChangeWindowMessageFilter). Nothing to do on POSIX.
  virtual void AllowCopyDataFromOtherProcesses() = 0;

  // Dispatches messages and timers until Quit() is called.
  virtual void Run() = 0;
  // Asks Run() to end once the messages already waiting are handled
  // (PostQuitMessage(0)). Safe to call from inside a handler. A Quit() while
  // no Run() is active is kept: the next Run() returns at once. Each Run()
  // that returns uses up the request.
  virtual void Quit() = 0;

  // Sends copy-data with this code and payload to `target` and waits, without
  // a time-out, for its answer. While waiting, messages sent to this thread's
  // own windows are handled to their end inside the wait, as SendMessageW does.
  // On POSIX, SIGTERM or SIGINT ends the wait (SendResult::interrupted), and
  // every send after it until the close is delivered gives up at its first wait.
  virtual SendResult SendCopyData(WindowHandle target, std::uint64_t code,
                                  std::string_view payload) = 0;
  // Sends the clock-change notice (WM_TIMECHANGE) or a close request (WM_CLOSE).
  virtual SendResult SendTimeChange(WindowHandle target) = 0;
  virtual SendResult SendClose(WindowHandle target) = 0;

  // Receives the message of an exception that left a handler, and of a
  // message the loop dropped. The default writes it to the debug-output
  // channel.
  virtual void SetErrorReporter(std::function<void(const std::string&)> reporter) = 0;
};

// The platform's message loop for the calling thread.
std::unique_ptr<MessageLoop> CreateMessageLoop();

// True while `handle` names an existing window (of any process).
bool IsWindow(WindowHandle handle);

// A window of this class name, if one exists (FindWindowW). POSIX: throws
// std::runtime_error naming the cause when the bus folder is not one this
// user can trust (its windows could be anyone's).
std::optional<WindowHandle> FindWindowByClass(const std::string& class_name);

// The id of the process that owns `handle`, or nothing when there is no such
// window (GetWindowThreadProcessId; POSIX: the window socket's peer).
std::optional<std::uint32_t> WindowProcessId(WindowHandle handle);

// Asks `target` to close (WM_CLOSE) without waiting for it to be handled, so
// that an owner that hangs cannot hold up the asker; `asker` (a process id)
// reaches its OnClose. False when the request could not be left with it.
bool PostClose(WindowHandle target, std::uint32_t asker);

}  // namespace chimewell::platform
