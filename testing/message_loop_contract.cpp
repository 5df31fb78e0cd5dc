#include "testing/message_loop_contract.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "platform/message_loop.h"
#include "platform/process.h"

namespace chimewell::testing_support::loop_contract {

using namespace platform;

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

constexpr char kClass[] = "CwTestWnd";

std::string Join(const Strings& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += "[" + text.substr(0, 40) + "]";
  return joined;
}

// Records what it receives and answers 7, or what `on_copy_data` says.
class RecordingHandler : public WindowHandler {
 public:
  std::function<std::intptr_t(std::uint64_t, std::string_view)> on_copy_data;
  Strings events;
  std::intptr_t OnCopyData(std::uint64_t code, std::string_view payload) override {
    events.push_back("copy " + std::to_string(code) + " " + std::string(payload));
    return on_copy_data ? on_copy_data(code, payload) : 7;
  }
  void OnTimeChange() override { events.push_back("timechange"); }
  void OnResume() override { events.push_back("resume"); }
  void OnClose(std::uint32_t asker) override {
    events.push_back(asker == 0 ? "close" : "close from " + std::to_string(asker));
  }
};

// A window whose loop runs on a thread of its own until a close request ends it.
class WindowOnThread {
 public:
  explicit WindowOnThread(WindowHandler& handler) {
    std::promise<WindowHandle> ready;
    std::future<WindowHandle> handle = ready.get_future();
    thread_ = std::thread([&handler, &ready] {
      auto loop = CreateMessageLoop();
      std::unique_ptr<Window> window;
      try {
        window = loop->CreateHiddenWindow(kClass, "Test", handler);
      } catch (...) {
        ready.set_exception(std::current_exception());
        return;
      }
      ready.set_value(window->Handle());
      loop->Run();
    });
    try {
      handle_ = handle.get();
    } catch (...) {
      thread_.join();
      throw;
    }
  }
  WindowOnThread(const WindowOnThread&) = delete;
  WindowOnThread& operator=(const WindowOnThread&) = delete;
  ~WindowOnThread() {
    if (thread_.joinable()) Close(*CreateMessageLoop());
  }

  WindowHandle Handle() const { return handle_; }
  // Sends the close request from `sender` and waits for the thread to end.
  SendResult Close(MessageLoop& sender) {
    const SendResult result = sender.SendClose(handle_);
    thread_.join();
    return result;
  }
  // Waits for the thread to end after a close request from elsewhere.
  void Join() { thread_.join(); }

 private:
  std::thread thread_;
  WindowHandle handle_ = 0;
};

void TimersRepeatAndStopWhenDisabled(Check& check) {
  auto loop = CreateMessageLoop();
  Strings fired;
  std::unique_ptr<Timer> once, repeating;
  once = loop->CreateTimer([&] {
    once->SetEnabled(false);
    fired.push_back("once");
  });
  int count = 0;
  repeating = loop->CreateTimer([&] {
    fired.push_back("repeat");
    if (++count == 3) loop->Quit();
  });
  // Window timers fire no faster than every 10 ms.
  once->SetInterval(10);
  once->SetEnabled(true);
  repeating->SetInterval(40);
  repeating->SetEnabled(true);
  auto disabled = loop->CreateTimer([&] { fired.push_back("never"); });
  disabled->SetInterval(10);
  check.That(!disabled->Enabled(), "a new timer is disabled");
  check.Equal(disabled->Interval(), 10u, "Interval() reads back");

  const auto start = std::chrono::steady_clock::now();
  loop->Run();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  check.Equal(fired, Strings{"once", "repeat", "repeat", "repeat"}, "fired: " + Join(fired));
  check.That(elapsed >= 110ms, "three 40 ms intervals passed");
  check.That(!once->Enabled(), "the one-shot timer stays disabled");
}

void SettingTheIntervalRestartsAnEnabledTimer(Check& check) {
  auto loop = CreateMessageLoop();
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration fired_after{};
  std::unique_ptr<Timer> watched, nudge;
  watched = loop->CreateTimer([&] {
    fired_after = std::chrono::steady_clock::now() - start;
    loop->Quit();
  });
  watched->SetInterval(150);
  watched->SetEnabled(true);
  // At 80 ms the same interval is set again: the timer counts 150 ms from then.
  nudge = loop->CreateTimer([&] {
    nudge->SetEnabled(false);
    watched->SetInterval(150);
  });
  nudge->SetInterval(80);
  nudge->SetEnabled(true);
  loop->Run();
  check.That(fired_after >= 220ms,
             "fired after " + std::to_string(fired_after / 1ms) + " ms, not at 150");
}

// A Quit() that comes before Run() (say from a handler run inside a send) is
// kept: the next Run() returns at once, and only that one.
void QuitBeforeRunIsKept(Check& check) {
  auto loop = CreateMessageLoop();
  int fired = 0;
  // Ends a Run() that lost the Quit(), so that the failure shows as one.
  auto backstop = loop->CreateTimer([&] {
    ++fired;
    loop->Quit();
  });
  backstop->SetInterval(500);
  backstop->SetEnabled(true);

  loop->Quit();
  const auto start = std::chrono::steady_clock::now();
  loop->Run();
  check.That(std::chrono::steady_clock::now() - start < 400ms, "Run() returned at once");
  check.Equal(fired, 0, "no timer ran before Run() returned");

  loop->Run();
  check.Equal(fired, 1, "the Quit() was used up: the next Run() waited for the timer");
}

void HandlerErrorsAreReportedAndTheLoopGoesOn(Check& check) {
  auto loop = CreateMessageLoop();
  Strings reports;
  loop->SetErrorReporter([&](const std::string& text) { reports.push_back(text); });
  RecordingHandler handler;
  handler.on_copy_data = [](std::uint64_t code, std::string_view) -> std::intptr_t {
    if (code == 1) throw std::runtime_error("boom");
    if (code == 2) throw 42;
    return 5;
  };
  auto window = loop->CreateHiddenWindow(kClass, "Test", handler);
  const SendResult thrown = loop->SendCopyData(window->Handle(), 1, "");
  check.That(thrown.delivered && thrown.result == 0, "a throwing handler answers 0");
  loop->SendCopyData(window->Handle(), 2, "");
  check.Equal(loop->SendCopyData(window->Handle(), 3, "").result, 5, "the window still answers");

  auto timer = loop->CreateTimer([&] {
    loop->Quit();
    throw std::runtime_error("timer boom");
  });
  timer->SetInterval(10);
  timer->SetEnabled(true);
  loop->Run();
  check.Equal(reports, Strings{"boom", "Unknown error in a message handler", "timer boom"},
              "reports: " + Join(reports));
}

// Sends to a window of the sending thread, which the send handles at once.
void WindowMessagesReachTheHandler(Check& check) {
  auto loop = CreateMessageLoop();
  RecordingHandler handler;
  auto window = loop->CreateHiddenWindow(kClass, "Test", handler);
  const WindowHandle handle = window->Handle();
  check.That(IsWindow(handle), "the window exists");
  check.That(!IsWindow(0), "0 names no window");
  check.Equal(FindWindowByClass(kClass), std::optional(handle), "found by its class");
  check.Equal(FindWindowByClass("CwNoSuchClass"), std::optional<WindowHandle>(), "no such class");

  const std::string payload("a\0b", 3);
  const SendResult sent = loop->SendCopyData(handle, 0x1234567890ull, payload);
  check.That(sent.delivered && !sent.access_denied && sent.result == 7, "copy-data answered");
  check.That(loop->SendCopyData(handle, 11, "").delivered, "empty payload delivered");
  check.That(loop->SendTimeChange(handle).delivered, "time change delivered");

  // A close request ends Run but leaves the window to its owner.
  check.That(loop->SendClose(handle).delivered, "close delivered");
  loop->Run();
  check.That(IsWindow(handle), "the window outlives the close request");
  window.reset();
  check.That(!IsWindow(handle), "destroyed with its owner");
  check.Equal(FindWindowByClass(kClass), std::optional<WindowHandle>(), "its class is gone");
  const SendResult gone = loop->SendCopyData(handle, 1, "x");
  check.That(!gone.delivered && !gone.access_denied,
             "a send to a destroyed window is not delivered");
  check.Equal(handler.events,
              Strings{"copy 78187493520 " + payload, "copy 11 ", "timechange", "close"},
              "events: " + Join(handler.events));
}

void SendsToAnotherThreadsWindow(Check& check) {
  RecordingHandler handler;
  WindowOnThread owner(handler);
  auto loop = CreateMessageLoop();
  const std::string large(3 * 1024 * 1024, 'x');
  const SendResult sent = loop->SendCopyData(owner.Handle(), 10, "hi");
  check.That(sent.delivered && !sent.access_denied && sent.result == 7, "delivered across threads");
  check.That(loop->SendCopyData(owner.Handle(), 12, large).delivered, "3 MiB delivered");
  check.That(loop->SendTimeChange(owner.Handle()).delivered, "time change delivered");
  check.That(owner.Close(*loop).delivered, "close delivered across threads");
  check.Equal(handler.events, Strings{"copy 10 hi", "copy 12 " + large, "timechange", "close"},
              "events: " + Join(handler.events));
}

// A posted close returns before the owner handles it, even when the owner is
// busy, and the owner learns who asked; the window tells its process.
void PostedCloseNamesTheAskerAndDoesNotWait(Check& check) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> handling{false};
  RecordingHandler handler;
  handler.on_copy_data = [released, &handling](std::uint64_t, std::string_view) {
    handling = true;
    released.wait();
    return std::intptr_t{7};
  };
  WindowOnThread owner(handler);
  check.Equal(WindowProcessId(owner.Handle()), std::optional(CurrentProcessId()),
              "the window's process is this one");
  check.Equal(WindowProcessId(0), std::optional<std::uint32_t>(), "0 names no process");
  // Keep the owner busy inside a handler while the close is posted.
  std::thread busy([&] { CreateMessageLoop()->SendCopyData(owner.Handle(), 5, "busy"); });
  while (!handling) std::this_thread::sleep_for(1ms);
  const auto start = std::chrono::steady_clock::now();
  check.That(PostClose(owner.Handle(), 4242), "close posted");
  check.That(std::chrono::steady_clock::now() - start < 2s, "posting did not wait for the owner");
  release.set_value();
  busy.join();
  owner.Join();
  check.Equal(handler.events, Strings{"copy 5 busy", "close from 4242"},
              "events: " + Join(handler.events));
  check.That(!PostClose(owner.Handle(), 4242), "no window left to post to");
}

// A sends to B; B's handler sends back to A while A waits in its send; A's
// handler must run inside that wait, to its end, before B answers A.
void MessageSentDuringASendIsHandledInsideTheWait(Check& check) {
  auto loop_a = CreateMessageLoop();
  RecordingHandler handler_a;
  handler_a.on_copy_data = [](std::uint64_t code, std::string_view) {
    return static_cast<std::intptr_t>(code * 100);
  };
  auto window_a = loop_a->CreateHiddenWindow(kClass, "A", handler_a);

  RecordingHandler handler_b;
  std::intptr_t answer_from_a = 0;
  handler_b.on_copy_data = [&](std::uint64_t, std::string_view) -> std::intptr_t {
    auto nested = CreateMessageLoop();
    answer_from_a = nested->SendCopyData(window_a->Handle(), 2, "refreshed").result;
    return -1;
  };
  WindowOnThread b(handler_b);

  check.Equal(loop_a->SendCopyData(b.Handle(), 10, "command").result, -1, "B's answer");
  check.Equal(answer_from_a, 200, "A answered B inside its own send");
  check.Equal(handler_a.events, Strings{"copy 2 refreshed"}, "A: " + Join(handler_a.events));
  b.Close(*loop_a);
}

}  // namespace

std::vector<Case> MessageLoopCases() {
  return {
      {"TimersRepeatAndStopWhenDisabled", TimersRepeatAndStopWhenDisabled},
      {"SettingTheIntervalRestartsAnEnabledTimer", SettingTheIntervalRestartsAnEnabledTimer},
      {"QuitBeforeRunIsKept", QuitBeforeRunIsKept},
      {"HandlerErrorsAreReportedAndTheLoopGoesOn", HandlerErrorsAreReportedAndTheLoopGoesOn},
      {"WindowMessagesReachTheHandler", WindowMessagesReachTheHandler},
      {"SendsToAnotherThreadsWindow", SendsToAnotherThreadsWindow},
      {"MessageSentDuringASendIsHandledInsideTheWait",
       MessageSentDuringASendIsHandledInsideTheWait},
      {"PostedCloseNamesTheAskerAndDoesNotWait", PostedCloseNamesTheAskerAndDoesNotWait},
  };
}

}  // namespace chimewell::testing_support::loop_contract
