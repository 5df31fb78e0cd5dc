// Who may talk to a window on the POSIX window bus.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/message_loop.h"
#include "platform/posix/bus.h"
#include "process_runner.h"
#include "scenario_runner.h"
#include "testing/temp_folder.h"

namespace chimewell::e2e {
namespace {

namespace fs = std::filesystem;

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = folder_.Path();
    bus_ = root_ + "/chimewell-bus";
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
  }
  std::map<std::string, std::optional<std::string>> Environment() const {
    return {{"XDG_RUNTIME_DIR", root_}, {"HOME", root_}, {"isDebug", "1"}};
  }
  testing_support::TempFolder folder_{"cw-sec"};
  std::string root_, bus_;
};

class CountingHandler : public platform::WindowHandler {
 public:
  std::atomic<int> received{0};
  std::intptr_t OnCopyData(std::uint64_t, std::string_view) override {
    ++received;
    return -1;
  }
};

// Runs a window of the service's class on its own thread, collecting what
// its loop reports.
class ServiceLikeWindow {
 public:
  ServiceLikeWindow() {
    std::promise<platform::WindowHandle> ready;
    auto handle = ready.get_future();
    thread_ = std::thread([&] {
      auto loop = platform::CreateMessageLoop();
      loop->SetErrorReporter([this](const std::string& text) {
        std::lock_guard lock(mutex_);
        reports_.push_back(text);
      });
      auto window = loop->CreateHiddenWindow("ChimewellWnd", "Chimewell", handler_);
      ready.set_value(window->Handle());
      loop->Run();
    });
    handle_ = handle.get();
  }
  ~ServiceLikeWindow() {
    platform::CreateMessageLoop()->SendClose(handle_);
    thread_.join();
  }
  platform::WindowHandle Handle() const { return handle_; }
  int Received() const { return handler_.received; }
  std::vector<std::string> Reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }

 private:
  CountingHandler handler_;
  std::thread thread_;
  platform::WindowHandle handle_ = 0;
  std::mutex mutex_;
  std::vector<std::string> reports_;
};

TEST_F(SecurityTest, PeerOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start a peer as another user";
  ServiceLikeWindow window;
  // Open the folders so that the other user can reach the socket at all: the
  // refusal must come from the receiver's own check of its peer.
  ::chmod(root_.c_str(), 0755);
  ::chmod(bus_.c_str(), 0755);
  for (const auto& entry : fs::directory_iterator(bus_)) ::chmod(entry.path().c_str(), 0666);

  // chimectl itself will not use a bus folder of another user; a peer that
  // ignores that rule must meet the receiver's own check.
  const ProcessOutcome polite =
      RunProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                  CHIMECTL_PATH, "send", "--wait", "2", "{\"method\":\"Reminder.Clear\"}"},
                 "", Environment());
  EXPECT_NE(polite.exit_code, 0) << polite.out << polite.err;
  EXPECT_NE(polite.err.find("Unsafe window bus folder " + bus_), std::string::npos) << polite.err;
  const ProcessOutcome peer =
      RunProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", RAW_PEER_PATH,
                  std::to_string(window.Handle())},
                 "", Environment());
  EXPECT_EQ(peer.exit_code, 0) << peer.out << peer.err;
  EXPECT_EQ(peer.out, "refused\n") << peer.err;
  EXPECT_EQ(window.Received(), 0);
  // Every connection of the other user is refused, the window probe included.
  ASSERT_FALSE(window.Reports().empty());
  for (const std::string& report : window.Reports()) {
    EXPECT_EQ(report.rfind("Refused a message from user 65534 (process ", 0), 0u) << report;
  }

  // The same message from the window's own user goes through, once the bus
  // folder is closed again (chimectl uses no folder that others can read).
  ::chmod(bus_.c_str(), 0700);
  const ProcessOutcome own = RunProcess({CHIMECTL_PATH, "send", "x"}, "", Environment());
  EXPECT_EQ(own.exit_code, 0) << own.err;
  EXPECT_EQ(own.out, "-1\n");
  EXPECT_EQ(window.Received(), 1);
}

TEST_F(SecurityTest, UnsafeBusFolderIsRefusedWithAClearError) {
  ::mkdir(bus_.c_str(), 0777);
  ::chmod(bus_.c_str(), 0777);
  const ProcessOutcome listen = RunProcess({CHIMECTL_PATH, "listen"}, "", Environment());
  EXPECT_NE(listen.exit_code, 0);
  EXPECT_NE(listen.err.find("Unsafe window bus folder " + bus_ + ": mode 0777"), std::string::npos)
      << listen.err;
}

// The service itself, launched while its bus is unsafe: it traces why it
// could not make its window and still exits 0.
TEST_F(SecurityTest, ServiceOnAnUnsafeBusTracesAndExitsZero) {
  ServiceLikeWindow view;  // stands in for the calendar's view window
  ::chmod(bus_.c_str(), 0755);
  const ProcessOutcome service = RunProcess(
      {CHIMEWELL_PATH, "u1|" + std::to_string(view.Handle())}, "", Environment());
  EXPECT_EQ(service.exit_code, 0);
  const auto records = SplitLines(service.err);
  ASSERT_EQ(records.size(), 3u) << service.err;
  auto last = ParseTraceLine(records[2]);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->text.rfind("Error!Application,Exception:Unsafe window bus folder " + bus_ +
                             ": mode 0755",
                             0),
            0u)
      << last->text;
  ::chmod(bus_.c_str(), 0700);
}

}  // namespace
}  // namespace chimewell::e2e
