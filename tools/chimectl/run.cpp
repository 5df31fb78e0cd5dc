// The demo session: play the calendar against a freshly launched service.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <sstream>
#include <thread>

#include "platform/child_process.h"
#include "platform/code_page.h"
#include "platform/debug_output.h"
#include "platform/message_loop.h"
#include "platform/process.h"
#include "session.h"
#include "verbs.h"

namespace chimectl {
namespace {

namespace platform = chimewell::platform;
using Clock = std::chrono::steady_clock;

std::vector<std::string> ReadLines(const std::string& source) {
  std::ifstream file;
  std::istream* in = &std::cin;
  if (source != "-") {
    file.open(source);
    if (!file) throw UsageError("can not read " + source);
    in = &file;
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(*in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Drives one session from a timer on the tool's own loop, so the view window
// keeps receiving notifications while the tool waits for anything.
class Session {
 public:
  Session(platform::MessageLoop& loop, platform::ChildProcess& service, const ViewWindowPrinter& view,
          std::vector<std::string> lines, std::chrono::milliseconds wait)
      : loop_(loop), service_(service), view_(view), lines_(std::move(lines)), wait_(wait),
        started_(Clock::now()), ticker_(loop.CreateTimer([this] { Tick(); })) {
    ticker_->SetInterval(5);
    ticker_->SetEnabled(true);
  }
  int ExitCode() const { return exit_code_; }

 private:
  enum class Phase { kFindWindow, kWaitReady, kSend, kWaitExit };

  void Finish(int code) {
    exit_code_ = code;
    ticker_->SetEnabled(false);
    loop_.Quit();
  }

  void Tick() {
    switch (phase_) {
      case Phase::kFindWindow: return FindWindow();
      case Phase::kWaitReady: return WaitReady();
      case Phase::kSend: return SendNext();
      case Phase::kWaitExit: return WaitExit();
    }
  }

  void FindWindow() {
    // The window of the service this session launched: an older service of
    // the same user may still show its window while ours takes over.
    const auto handle = platform::FindWindowByClass(kServiceClass);
    if (handle && platform::WindowProcessId(*handle) == service_.Id()) {
      service_window_ = *handle;
      PrintLine("service window " + std::to_string(*handle));
      phase_ = Phase::kWaitReady;
      ready_wait_started_ = Clock::now();
    } else if (auto code = service_.WaitForExit(std::chrono::milliseconds(0))) {
      PrintLine("service exited with code " + std::to_string(*code) + " without a window");
      Finish(*code);
    } else if (Clock::now() - started_ > wait_) {
      PrintLine("no service window after " + std::to_string(wait_.count()) + " ms");
      service_.RequestTermination();
      Finish(kExitNoServiceWindow);
    }
  }

  // The service serves commands once its store is prepared, and tells the
  // view window so with its first notification: a command sent before that
  // would be refused.
  void WaitReady() {
    if (view_.Received() > 0) {
      phase_ = Phase::kSend;
    } else if (auto code = service_.WaitForExit(std::chrono::milliseconds(0))) {
      PrintLine("service exited with code " + std::to_string(*code));
      Finish(*code);
    } else if (Clock::now() - ready_wait_started_ > wait_) {
      PrintLine("no notification from the service after " + std::to_string(wait_.count()) +
                " ms; sending anyway");
      phase_ = Phase::kSend;
    }
  }

  void SendNext() {
    // A service that ends mid-session (closed by someone else, or crashed)
    // ends the session too, even during a pause.
    if (auto code = service_.WaitForExit(std::chrono::milliseconds(0))) {
      PrintLine("service exited with code " + std::to_string(*code));
      return Finish(*code);
    }
    if (Clock::now() < paused_until_) return;
    if (next_ == lines_.size()) {
      PrintLine("close");
      Report(loop_.SendClose(service_window_));
      return StartWaitingForExit();
    }
    const std::string line = lines_[next_++];
    if (line.empty() || line[0] == '#') return;
    if (line[0] != '!') return SendText(10, line);
    std::istringstream directive(line.substr(1));
    std::string word;
    directive >> word;
    if (word == "timechange") {
      PrintLine("timechange");
      Report(loop_.SendTimeChange(service_window_));
    } else if (word == "close") {
      PrintLine("close");
      Report(loop_.SendClose(service_window_));
      StartWaitingForExit();
    } else if (word == "terminate") {
      PrintLine("terminate");
      service_.RequestTermination();
      StartWaitingForExit();
    } else if (word == "sleep") {
      long long ms = 0;
      directive >> ms;
      paused_until_ = Clock::now() + std::chrono::milliseconds(ms);
    } else if (word == "code") {
      long long code = 0;
      directive >> code;
      std::string text;
      std::getline(directive >> std::ws, text);
      SendText(static_cast<std::uint64_t>(code), text);
    } else {
      PrintLine("unknown directive " + line);
    }
  }

  void SendText(std::uint64_t code, const std::string& text) {
    PrintLine("send " + std::to_string(code) + " " + text);
    const auto result = loop_.SendCopyData(service_window_, code, platform::Utf8ToAnsi(text));
    if (Report(result)) PrintLine("result " + std::to_string(result.result));
  }

  bool Report(const platform::SendResult& result) {
    if (result.access_denied) PrintLine("refused");
    else if (!result.delivered) PrintLine("not delivered");
    return result.delivered;
  }

  void StartWaitingForExit() {
    phase_ = Phase::kWaitExit;
    exit_wait_started_ = Clock::now();
  }

  void WaitExit() {
    if (auto code = service_.WaitForExit(std::chrono::milliseconds(0))) {
      PrintLine("service exited with code " + std::to_string(*code));
      Finish(*code);
    } else if (Clock::now() - exit_wait_started_ > std::chrono::seconds(10)) {
      PrintLine("service did not exit; terminating it");
      service_.RequestTermination();
      Finish(kExitSendFailed);
    }
  }

  platform::MessageLoop& loop_;
  platform::ChildProcess& service_;
  const ViewWindowPrinter& view_;
  std::vector<std::string> lines_;
  std::chrono::milliseconds wait_;
  Clock::time_point started_, paused_until_{}, exit_wait_started_{}, ready_wait_started_{};
  std::unique_ptr<platform::Timer> ticker_;
  Phase phase_ = Phase::kFindWindow;
  std::size_t next_ = 0;
  platform::WindowHandle service_window_ = 0;
  int exit_code_ = 0;
};

// Shows the service's trace on our standard error, one record per line, where
// the trace goes to a shared debug-output channel (Windows). Elsewhere the
// service inherits our standard error and this does nothing.
class TraceRelay {
 public:
  // Returns once the channel is open, so that a service started afterwards is heard.
  TraceRelay() : listener_([this](std::stop_token stop) { Listen(stop); }) {
    opened_.get_future().wait();
  }
  // Stops listening once the records already handed over are printed.
  ~TraceRelay() {
    if (!followed_) Follow(0);
    listener_.request_stop();
  }
  TraceRelay(const TraceRelay&) = delete;
  TraceRelay& operator=(const TraceRelay&) = delete;

  // Prints the records of this process from now on; call it once.
  void Follow(std::uint32_t process_id) {
    followed_ = true;
    service_id_.set_value(process_id);
  }

 private:
  void Listen(std::stop_token stop) {
    bool opened = false;
    try {
      platform::ListenToDebugOutput(
          [this](std::uint32_t process_id, std::string_view text) {
            // A record may come before LaunchProcess has told us the id.
            if (process_id == service_id_future_.get()) PrintRecord(text);
            return true;
          },
          stop,
          [&] {
            opened = true;
            opened_.set_value();
          });
    } catch (const std::exception& error) {
      std::fprintf(stderr, "chimectl: no service trace: %s\n", error.what());
    }
    if (!opened) opened_.set_value();
  }

  static void PrintRecord(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }

  std::promise<void> opened_;
  std::promise<std::uint32_t> service_id_;
  std::shared_future<std::uint32_t> service_id_future_ = service_id_.get_future().share();
  bool followed_ = false;
  std::jthread listener_;  // last: it uses the members above
};

// A handle that named a window a moment ago and names none now.
platform::WindowHandle DeadWindowHandle(platform::MessageLoop& loop) {
  ViewWindowPrinter ignored("");
  return loop.CreateHiddenWindow(kViewClass, "gone", ignored)->Handle();
}

}  // namespace

int Run(Arguments arguments) {
  const std::string user = arguments.TakeValue("--user").value_or("demo");
  const std::string exe = arguments.TakeValue("--exe").value_or(DefaultServiceExecutable());
  const auto param = arguments.TakeValue("--param");
  const bool no_param = arguments.TakeSwitch("--no-param");
  const auto wait_text = arguments.TakeValue("--wait");
  const double wait = wait_text ? ParseSeconds(*wait_text, "--wait") : 5.0;
  const auto positionals = arguments.Positionals();
  if (positionals.size() > 1) throw UsageError("run takes at most one FILE");
  if (param && no_param) throw UsageError("--param and --no-param exclude each other");
  const auto lines = ReadLines(positionals.empty() ? "-" : positionals[0]);

  auto loop = platform::CreateMessageLoop();
  ViewWindowPrinter printer("notify ");
  auto view = loop->CreateHiddenWindow(kViewClass, "Calendar view", printer);
  const std::string view_text = std::to_string(view->Handle());
  PrintLine("view window " + view_text);

  std::vector<std::string> service_arguments;
  if (param) {
    char view_hex[16];
    std::snprintf(view_hex, sizeof view_hex, "%X", view->Handle());
    std::string text = Replace(Replace(*param, "{view}", view_text), "{viewhex}", view_hex);
    if (text.find("{dead}") != std::string::npos) {
      text = Replace(text, "{dead}", std::to_string(DeadWindowHandle(*loop)));
    }
    service_arguments.push_back(text);
  } else if (!no_param) {
    service_arguments.push_back(user + "|" + view_text);
  }
  PrintLine(service_arguments.empty() ? "launch without parameter" : "launch " + service_arguments[0]);
  TraceRelay trace;
  auto service = platform::LaunchProcess(exe, service_arguments);
  trace.Follow(service->Id());
  PrintLine("service started, process " + std::to_string(service->Id()));
  Session session(*loop, *service, printer, lines, SecondsToMilliseconds(wait));
  loop->Run();
  return session.ExitCode();
}

}  // namespace chimectl
