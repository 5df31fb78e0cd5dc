#include "service_rig.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "process_runner.h"
#include "scenario_runner.h"
#include "store/connection.h"

extern char** environ;

namespace chimewell::e2e {

namespace fs = std::filesystem;

class ServiceRig::ViewHandler final : public platform::WindowHandler {
 public:
  explicit ViewHandler(std::atomic<int>& notifications) : notifications_(notifications) {}
  std::intptr_t OnCopyData(std::uint64_t, std::string_view) override {
    ++notifications_;
    return 0;
  }

 private:
  std::atomic<int>& notifications_;
};

ServiceRig::ServiceRig(std::string bus_home) : bus_home_(std::move(bus_home)) {
  // This process finds the service's window on the same private bus.
  if (bus_home_.empty()) {
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("HOME", bus_home_.c_str(), 1);
  }
  view_handler_ = std::make_unique<ViewHandler>(notifications_);
  std::promise<platform::WindowHandle> ready;
  auto handle = ready.get_future();
  view_thread_ = std::thread([this, &ready] {
    auto loop = platform::CreateMessageLoop();
    auto window = loop->CreateHiddenWindow("CalendarViewWnd", "view", *view_handler_);
    ready.set_value(window->Handle());
    loop->Run();
  });
  view_handle_ = handle.get();
}

ServiceRig::~ServiceRig() {
  if (Running()) {
    Kill9();
    WaitForExit();
  }
  for (pid_t other : others_) {
    ::kill(other, SIGKILL);
    ::kill(other, SIGCONT);
    WaitForExitOf(other, std::chrono::seconds(10));
  }
  CloseView();
}

std::string ServiceRig::Store() const {
  return root_ + "/Documents/Pelicorda/Calendar/Data/users/" + user_ + "/reminder.db";
}
std::string ServiceRig::CacheDir() const {
  return root_ + "/Documents/Pelicorda/Calendar/Cache/users/" + user_ + "/";
}
std::string ServiceRig::TodayDir() const { return CacheDir() + "today/"; }

void ServiceRig::Start(std::optional<std::string> parameter, const std::string& executable) {
  const std::string program = executable.empty() ? std::string(CHIMEWELL_PATH) : executable;
  StartCommand({program, parameter.value_or(user_ + "|" + std::to_string(view_handle_))});
}

void ServiceRig::StartCommand(std::vector<std::string> command) {
  if (Running()) throw std::logic_error("the service is running already");
  trace_path_ = root_ + "/trace-" + std::to_string(++starts_) + ".log";

  // Without a value: the variable is unset.
  const std::map<std::string, std::optional<std::string>> overrides = {
      {"XDG_RUNTIME_DIR", bus_home_.empty() ? std::optional(root_) : std::nullopt},
      {"HOME", bus_home_.empty() ? root_ : bus_home_},
      {"XDG_DOCUMENTS_DIR", root_ + "/Documents"},
      {"TZ", "UTC"},
      {"isDebug", "1"}};
  std::vector<std::string> env_text;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (!overrides.contains(text.substr(0, text.find('=')))) env_text.push_back(text);
  }
  for (const auto& [name, value] : overrides) {
    if (value) env_text.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (auto& text : command) argv.push_back(text.data());
  argv.push_back(nullptr);

  const int trace = ::open(trace_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (trace < 0 || null < 0) throw std::runtime_error("cannot open the trace file");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(trace, 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(trace);
  ::close(null);
  if (pid < 0) throw std::runtime_error("fork failed");
  pid_ = pid;
  trace_paths_[pid] = trace_path_;
}

void ServiceRig::StartAnother(std::optional<std::string> parameter) {
  if (Running()) others_.push_back(std::exchange(pid_, -1));
  Start(std::move(parameter));
}

bool ServiceRig::WaitUntilServing(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // The trace's last start-up line, not the view's notification: the view
  // hears the notification while the service still waits for its answer,
  // with the connection that carries it open for a moment longer.
  while (std::chrono::steady_clock::now() < deadline) {
    for (const std::string& text : TraceTexts()) {
      if (text.rfind("Start tmrDay after ", 0) == 0) return true;
    }
    if (!Running() || WaitForExit(std::chrono::milliseconds(0))) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

bool ServiceRig::Close() {
  const auto service = platform::FindWindowByClass("ChimewellWnd");
  return service && platform::CreateMessageLoop()->SendClose(*service).delivered;
}

void ServiceRig::Kill9() {
  if (Running()) ::kill(pid_, SIGKILL);
}

std::optional<int> ServiceRig::WaitForExit(std::chrono::milliseconds timeout) {
  if (!Running()) return std::nullopt;
  const auto code = WaitForExitOf(pid_, timeout);
  if (code) pid_ = -1;
  return code;
}

std::optional<int> ServiceRig::WaitForExitOf(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      std::erase(others_, pid);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::optional<std::intptr_t> ServiceRig::Send(const std::string& text, std::uint64_t code) {
  auto loop = platform::CreateMessageLoop();
  const auto service = platform::FindWindowByClass("ChimewellWnd");
  if (!service) return std::nullopt;
  const platform::SendResult result = loop->SendCopyData(*service, code, text);
  if (!result.delivered) return std::nullopt;
  return result.result;
}

std::optional<std::intptr_t> ServiceRig::SendTo(platform::WindowHandle window,
                                                const std::string& text) {
  const platform::SendResult result = platform::CreateMessageLoop()->SendCopyData(window, 10, text);
  if (!result.delivered) return std::nullopt;
  return result.result;
}

platform::WindowHandle ServiceRig::RecordedServiceWindow() const {
  const std::string record =
      root_ + "/Documents/Pelicorda/Calendar/Data/users/" + user_ + "/service.window";
  std::ifstream in(record);
  platform::WindowHandle window = 0;
  in >> window;
  return window;
}

void ServiceRig::CloseView() {
  if (!view_thread_.joinable()) return;
  platform::CreateMessageLoop()->SendClose(view_handle_);
  view_thread_.join();
}

std::vector<std::string> ServiceRig::TraceTexts() const { return ReadTraceTexts(trace_path_); }

std::vector<std::string> ServiceRig::TraceTextsOf(pid_t pid) const {
  const auto path = trace_paths_.find(pid);
  return path == trace_paths_.end() ? std::vector<std::string>{} : ReadTraceTexts(path->second);
}

std::vector<std::string> ReadTraceTexts(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream whole;
  whole << in.rdbuf();
  std::vector<std::string> texts;
  for (const std::string& line : SplitLines(whole.str())) {
    if (auto parsed = ParseTraceLine(line)) {
      texts.push_back(parsed->text);
    } else if (!texts.empty()) {
      texts.back() += line;  // the next 220-unit piece of a long line
    }
  }
  return texts;
}

long ServiceRig::StatusKiB(const char* field) const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string name;
  long value = -1;
  while (in >> name) {
    if (name == field) {
      in >> value;
      return value;
    }
    in.ignore(4096, '\n');
  }
  return -1;
}

long ServiceRig::ResidentKiB() const { return StatusKiB("VmRSS:"); }
long ServiceRig::PeakResidentKiB() const { return StatusKiB("VmHWM:"); }

std::size_t ServiceRig::OpenFileDescriptors() const {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd")) {
    ++count;
  }
  return count;
}

StoreRows ServiceRig::Rows() const {
  store::DBConnection connection(Store());
  connection.Open();
  store::DBQuery query(connection,
                        "select CalendarID||'|'||ItemID||'|'||ReminderType||'|'||Enabled||'|'||"
                        "StartTime||'|'||Repeat||'|'||RepeatEnd||'|'||ifnull(LastNotified,'-') "
                        "from Reminders order by CalendarID, ItemID");
  query.Open();
  StoreRows rows;
  for (std::size_t r = 0; r < query.RecordCount(); ++r) {
    // The raw value: AsString would trim trailing control characters.
    rows.emplace_back(std::get<std::string_view>(query.Value(r, 0)));
  }
  connection.Close();
  return rows;
}

std::string ServiceRig::IntegrityCheck() const {
  store::DBConnection connection(Store());
  connection.Open();
  store::DBQuery query(connection, "PRAGMA integrity_check");
  query.Open();
  std::string verdict;
  for (std::size_t r = 0; r < query.RecordCount(); ++r) verdict += query.AsString(r, 0);
  connection.Close();
  return verdict;
}

void ServiceRig::Exec(const std::string& sql) const {
  store::DBConnection connection(Store());
  connection.Open();
  connection.ExecSQL(sql);
  connection.Close();
}

bool HasInOrder(const std::vector<std::string>& texts, const std::vector<std::string>& wanted) {
  std::size_t next = 0;
  for (const std::string& text : texts) {
    if (next < wanted.size() && text == wanted[next]) ++next;
  }
  return next == wanted.size();
}

}  // namespace chimewell::e2e
