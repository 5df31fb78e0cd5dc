#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/message_loop.h"
#include "platform/posix/window_bus.h"

namespace chimewell::platform {
namespace {

namespace fs = std::filesystem;

// Every test gets a bus of its own under a fresh runtime folder.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/cwbus-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    runtime_ = pattern;
    ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(runtime_); }
  std::string Bus() const { return runtime_ + "/chimewell-bus"; }
  std::string runtime_;
};

// Records what it receives and answers with a fixed result, or runs a hook.
class RecordingHandler : public WindowHandler {
 public:
  std::function<std::intptr_t(std::uint64_t, std::string_view)> on_copy_data;
  std::vector<std::string> events;
  std::intptr_t OnCopyData(std::uint64_t code, std::string_view payload) override {
    events.push_back("copy " + std::to_string(code) + " " + std::string(payload));
    return on_copy_data ? on_copy_data(code, payload) : 7;
  }
  void OnTimeChange() override { events.push_back("timechange"); }
  void OnClose() override { events.push_back("close"); }
};

// Runs a loop with one window on its own thread until the window is closed.
class WindowThread {
 public:
  explicit WindowThread(RecordingHandler& handler) {
    std::promise<WindowHandle> ready;
    auto handle = ready.get_future();
    thread_ = std::thread([&handler, &ready, this] {
      auto loop = CreateMessageLoop();
      loop_ = loop.get();
      auto window = loop->CreateHiddenWindow("TestWnd", "Test", handler);
      ready.set_value(window->Handle());
      loop->Run();
    });
    handle_ = handle.get();
  }
  ~WindowThread() {
    auto closer = CreateMessageLoop();
    closer->SendClose(handle_);
    thread_.join();
  }
  WindowHandle Handle() const { return handle_; }
  MessageLoop* Loop() const { return loop_; }

 private:
  std::thread thread_;
  WindowHandle handle_ = 0;
  std::atomic<MessageLoop*> loop_{nullptr};
};

TEST_F(BusTest, CopyDataRoundTripAndWindowLifetime) {
  RecordingHandler handler;
  WindowHandle handle;
  {
    WindowThread service(handler);
    handle = service.Handle();
    EXPECT_TRUE(IsWindow(handle));
    EXPECT_EQ(FindWindowByClass("TestWnd"), handle);
    EXPECT_EQ(FindWindowByClass("OtherWnd"), std::nullopt);

    auto loop = CreateMessageLoop();
    const std::string big(3 * 1024 * 1024, 'x');
    SendResult small = loop->SendCopyData(handle, 10, "hello");
    SendResult empty = loop->SendCopyData(handle, 11, "");
    SendResult large = loop->SendCopyData(handle, 12, big);
    EXPECT_TRUE(small.delivered && empty.delivered && large.delivered);
    EXPECT_EQ(small.result, 7);
    EXPECT_FALSE(small.access_denied);
    loop->SendTimeChange(handle);
  }
  ASSERT_EQ(handler.events.size(), 5u);
  EXPECT_EQ(handler.events[0], "copy 10 hello");
  EXPECT_EQ(handler.events[1], "copy 11 ");
  EXPECT_EQ(handler.events[2].size(), std::string("copy 12 ").size() + 3 * 1024 * 1024);
  EXPECT_EQ(handler.events[3], "timechange");
  EXPECT_EQ(handler.events[4], "close");

  // A destroyed window is gone for everybody, and sends to it fail quietly.
  EXPECT_FALSE(IsWindow(handle));
  EXPECT_FALSE(IsWindow(0));
  EXPECT_EQ(FindWindowByClass("TestWnd"), std::nullopt);
  auto loop = CreateMessageLoop();
  SendResult gone = loop->SendCopyData(handle, 10, "x");
  EXPECT_FALSE(gone.delivered);
  EXPECT_FALSE(gone.access_denied);
}

// A sends to B; B's handler sends back to A while A waits in its send; A's
// handler must run inside that wait, to its end, before B answers A.
TEST_F(BusTest, MessageSentDuringASendIsHandledInsideTheWait) {
  auto loop_a = CreateMessageLoop();
  RecordingHandler handler_a;
  auto window_a = loop_a->CreateHiddenWindow("TestWnd", "A", handler_a);
  handler_a.on_copy_data = [](std::uint64_t code, std::string_view) {
    return static_cast<std::intptr_t>(code * 100);
  };

  RecordingHandler handler_b;
  std::intptr_t answer_from_a = 0;
  handler_b.on_copy_data = [&](std::uint64_t, std::string_view) -> std::intptr_t {
    auto nested = CreateMessageLoop();
    answer_from_a = nested->SendCopyData(window_a->Handle(), 2, "refreshed").result;
    return -1;
  };
  WindowThread b(handler_b);

  SendResult result = loop_a->SendCopyData(b.Handle(), 10, "command");
  EXPECT_EQ(result.result, -1);
  EXPECT_EQ(answer_from_a, 200);
  EXPECT_EQ(handler_a.events, std::vector<std::string>{"copy 2 refreshed"});
}

TEST_F(BusTest, TimersFireOnTheLoopAndStopWhenDisabled) {
  auto loop = CreateMessageLoop();
  std::vector<std::string> fired;
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
  once->SetInterval(5);
  once->SetEnabled(true);
  repeating->SetInterval(20);
  repeating->SetEnabled(true);
  auto disabled = loop->CreateTimer([&] { fired.push_back("never"); });
  disabled->SetInterval(1);
  EXPECT_FALSE(disabled->Enabled());

  const auto start = std::chrono::steady_clock::now();
  loop->Run();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(fired, (std::vector<std::string>{"once", "repeat", "repeat", "repeat"}));
  EXPECT_GE(elapsed, std::chrono::milliseconds(60));
  EXPECT_FALSE(once->Enabled());
}

TEST_F(BusTest, AnExceptionFromAHandlerIsReportedAndTheLoopGoesOn) {
  RecordingHandler handler;
  handler.on_copy_data = [](std::uint64_t code, std::string_view) -> std::intptr_t {
    if (code == 1) throw std::runtime_error("boom");
    return 5;
  };
  std::vector<std::string> reports;
  std::promise<WindowHandle> ready;
  std::thread service([&] {
    auto loop = CreateMessageLoop();
    loop->SetErrorReporter([&](const std::string& text) { reports.push_back(text); });
    auto window = loop->CreateHiddenWindow("TestWnd", "Test", handler);
    ready.set_value(window->Handle());
    loop->Run();
  });
  const WindowHandle handle = ready.get_future().get();
  auto loop = CreateMessageLoop();
  EXPECT_EQ(loop->SendCopyData(handle, 1, "").result, 0);
  EXPECT_EQ(loop->SendCopyData(handle, 2, "").result, 5);
  loop->SendClose(handle);
  service.join();
  EXPECT_EQ(reports, std::vector<std::string>{"boom"});
}

// Raw connections that misbehave must not stop or stall the loop.
TEST_F(BusTest, MalformedAndSilentPeersDoNotStallTheLoop) {
  RecordingHandler handler;
  std::vector<std::string> reports;
  WindowThread service(handler);
  auto raw = [&](std::string_view bytes) {
    auto connection = posix::ConnectToWindow(Bus(), service.Handle());
    EXPECT_TRUE(connection.fd.Valid());
    ::send(connection.fd.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return connection;
  };
  auto silent = raw("CHW");                           // half a header, then nothing
  auto garbage = raw(std::string(64, 'z'));           // bad magic
  posix::RequestHeader huge{posix::kFrameMagic, 1, 10, 1ull << 40};
  auto oversized = raw({reinterpret_cast<const char*>(&huge), sizeof huge});

  auto loop = CreateMessageLoop();
  const auto start = std::chrono::steady_clock::now();
  SendResult result = loop->SendCopyData(service.Handle(), 10, "still here");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(result.result, 7);
  EXPECT_EQ(handler.events, std::vector<std::string>{"copy 10 still here"});
}

TEST_F(BusTest, UnsafeBusFolderIsRefused) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
  };
  const std::vector<Case> cases = {
      {"open to others", [](const std::string& bus) { ::mkdir(bus.c_str(), 0755); }},
      {"group writable", [](const std::string& bus) {
         ::mkdir(bus.c_str(), 0700);
         ::chmod(bus.c_str(), 0770);
       }},
      {"a symlink", [this](const std::string& bus) {
         fs::create_directory(runtime_ + "/elsewhere");
         ::chmod((runtime_ + "/elsewhere").c_str(), 0700);
         fs::create_directory_symlink(runtime_ + "/elsewhere", bus);
       }},
      {"a file", [](const std::string& bus) { std::fclose(std::fopen(bus.c_str(), "w")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Bus());
    c.make(Bus());
    auto loop = CreateMessageLoop();
    RecordingHandler handler;
    try {
      loop->CreateHiddenWindow("TestWnd", "Test", handler);
      ADD_FAILURE() << "window created on an unsafe bus";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find("Unsafe window bus folder"), std::string::npos)
          << error.what();
    }
  }
  // A fresh bus is made private.
  fs::remove_all(Bus());
  auto loop = CreateMessageLoop();
  RecordingHandler handler;
  auto window = loop->CreateHiddenWindow("TestWnd", "Test", handler);
  struct stat info {};
  ASSERT_EQ(::stat(Bus().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(BusTest, StaleEntriesOfDeadProcessesAreIgnoredAndCleaned) {
  // What a killed process leaves behind: a socket nobody listens on and its
  // class entry.
  fs::create_directory(Bus());
  ::chmod(Bus().c_str(), 0700);
  const WindowHandle dead = 0x1234;
  {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = posix::WindowSocketPath(Bus(), dead);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  std::fclose(std::fopen(posix::ClassEntryPath(Bus(), "TestWnd", dead).c_str(), "w"));
  EXPECT_FALSE(IsWindow(dead));
  EXPECT_EQ(FindWindowByClass("TestWnd"), std::nullopt);
  EXPECT_FALSE(fs::exists(posix::ClassEntryPath(Bus(), "TestWnd", dead)));
}

}  // namespace
}  // namespace chimewell::platform
