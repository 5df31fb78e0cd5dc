// Fuzzes the command channel end to end inside one process: each input is the
// payload of a copy-data message with code 10, handed to the real service
// object, which decodes it, parses it, changes a real store made from the
// template and rebuilds the today files, notifying a view window that runs on
// a thread of its own (the only stand-in: the calendar).
//
// Each input starts from the same store (three seeded rows), so a finding
// replays on its own. After each input the today files, when present, must be
// complete JSON objects (the calendar reads them), and every 256 inputs the
// store must pass PRAGMA integrity_check.
//
// The trace is switched on, so formatting of hostile text is fuzzed too; run
// with -close_fd_mask=2 to keep it off the terminal (scripts/fuzz.sh does).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "channel/json.h"
#include "host/service.h"
#include "platform/files.h"
#include "platform/message_loop.h"
#include "platform/process.h"
#include "store/connection.h"

namespace {

namespace fs = std::filesystem;
using namespace chimewell;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "command_fuzzer: %s\n", what.c_str());
  std::abort();
}

// Alerts record a fixed instant, so a run does not depend on the day.
class FixedClock final : public platform::Clock {
 public:
  platform::LocalDateTime LocalNow() const override { return {2024, 1, 31, 10, 0, 0, 0}; }
  std::int64_t UnixSeconds() const override { return 1706666400; }
};

// The calendar's view window: takes every notification and answers 0.
class ViewWindow final : public platform::WindowHandler {
 public:
  std::atomic<int> notifications{0};
  std::intptr_t OnCopyData(std::uint64_t, std::string_view) override {
    ++notifications;
    return 0;
  }
};

class Harness {
 public:
  Harness() {
    std::string pattern = (fs::temp_directory_path() / "cw-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) Fail("no temporary folder");
    root_ = pattern;
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
    ::setenv("TZ", "UTC", 1);
    ::setenv("isDebug", "1", 1);

    std::promise<platform::WindowHandle> view_ready;
    view_thread_ = std::thread([this, &view_ready] {
      auto loop = platform::CreateMessageLoop();
      auto window = loop->CreateHiddenWindow("ViewWnd", "view", view_);
      view_ready.set_value(window->Handle());
      loop->Run();
    });
    view_handle_ = view_ready.get_future().get();

    loop_ = platform::CreateMessageLoop();
    form_ = std::make_unique<host::TfrmChimewell>(
        *loop_, clock_, platform::RealFileSystem(), host::LaunchValues{"fuzz", view_handle_},
        host::StoragePathsOf(root_ + "/Documents", platform::ExecutablePath(), "fuzz"));
    // The start-up sequence: prepare the store, rebuild, notify the view.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto poll = loop_->CreateTimer([&] {
      if (view_.notifications > 0 || std::chrono::steady_clock::now() > give_up) loop_->Quit();
    });
    poll->SetInterval(5);
    poll->SetEnabled(true);
    loop_->Run();
    if (view_.notifications == 0) Fail("the service did not start");
  }

  ~Harness() {
    form_.reset();
    loop_->SendClose(view_handle_);
    view_thread_.join();
    loop_.reset();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  void Run(std::string_view payload) {
    ResetStore();
    (void)form_->WMCopyData(10, payload);
    CheckTodayFile("reminder.json");
    CheckTodayFile("daysmatter.json");
    if (++runs_ % 256 == 0) CheckIntegrity();
  }

 private:
  std::string Documents() const { return root_ + "/Documents/Pelicorda/Calendar/"; }
  std::string Store() const { return Documents() + "Data/users/fuzz/reminder.db"; }

  void ResetStore() {
    store::DBConnection connection(Store());
    connection.Open();
    connection.ExecSQL(
        "delete from Reminders;"
        "insert into Reminders values ('A','i1',0,1,1000,1,0,NULL);"
        "insert into Reminders values ('A','i''2',1,1,2000,5,0,NULL);"
        "insert into Reminders values ('B','i1',0,0,3000,1,0,77);");
    connection.Close();
  }

  void CheckTodayFile(const std::string& name) {
    std::ifstream in(Documents() + "Cache/users/fuzz/today/" + name, std::ios::binary);
    if (!in) return;  // no row due: the file is deleted
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
      if (!channel::ParseJsonObject(text)) Fail(name + " is not a JSON document: " + text);
    } catch (const channel::JsonError&) {
      Fail(name + " is not a JSON object: " + text);
    }
  }

  void CheckIntegrity() {
    store::DBConnection connection(Store());
    connection.Open();
    store::DBQuery query(connection, "PRAGMA integrity_check");
    query.Open();
    const std::string verdict = query.RecordCount() == 1 ? query.AsString(0, 0) : "no answer";
    connection.Close();
    if (verdict != "ok") Fail("integrity_check: " + verdict);
  }

  std::string root_;
  ViewWindow view_;
  std::thread view_thread_;
  platform::WindowHandle view_handle_ = 0;
  FixedClock clock_;
  std::unique_ptr<platform::MessageLoop> loop_;
  std::unique_ptr<host::TfrmChimewell> form_;
  std::uint64_t runs_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Made on first use, on the thread that runs the inputs (the loop's thread).
  static Harness harness;
  harness.Run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
