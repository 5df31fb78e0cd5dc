// SIGTERM ends the service, and chimectl, within a second even while they
// wait in a send to a calendar window that never answers.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/bus.h"
#include "platform/posix/unique_fd.h"
#include "service_rig.h"

namespace chimewell::e2e {
namespace {

using namespace std::chrono_literals;
using platform::posix::UniqueFd;

// A window on the bus that takes connections and never answers: a hung calendar.
class HungWindow {
 public:
  HungWindow(const std::string& bus, platform::WindowHandle handle, const std::string& class_name)
      : listener_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    platform::posix::EnsureSafeBusDirectory(bus);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, platform::posix::WindowSocketPath(bus, handle).c_str());
    EXPECT_EQ(::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_.Get(), 16), 0);
    std::ofstream(platform::posix::ClassEntryPath(bus, class_name, handle));
  }
  // Accepts connections until one brings bytes (a message; probes of whether
  // the window exists bring none) and keeps it unanswered. False after `limit`.
  bool AwaitMessage(std::chrono::milliseconds limit) {
    for (const auto until = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < until;) {
      pollfd ready{listener_.Get(), POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      held_.emplace_back(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      pollfd data{held_.back().Get(), POLLIN, 0};
      char byte;
      if (::poll(&data, 1, 200) > 0 && ::recv(held_.back().Get(), &byte, 1, MSG_PEEK) == 1) return true;
    }
    return false;
  }

 private:
  UniqueFd listener_;
  std::vector<UniqueFd> held_;
};

TEST(CloseSignals, SigtermDuringASendToAHungWindowEndsTheProcessWithinASecond) {
  struct Case {
    const char* name;
    bool chimectl;  // else the service, notifying the hung calendar of its start-up rebuild
  };
  for (const Case c : {Case{"service", false}, Case{"chimectl send", true}}) {
    SCOPED_TRACE(c.name);
    ServiceRig rig;
    const platform::WindowHandle hung = 0x4567;
    HungWindow calendar(rig.Root() + "/chimewell-bus", hung, "HungWnd");
    if (c.chimectl) {
      rig.StartCommand({CHIMECTL_PATH, "send", "--class", "HungWnd", "--wait", "5", "{}"});
    } else {
      rig.Start(rig.User() + "|" + std::to_string(hung));
    }
    ASSERT_TRUE(calendar.AwaitMessage(10s)) << "nothing was sent";
    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(rig.Pid(), SIGTERM), 0);
    const auto exit_code = rig.WaitForExit(5s);
    const auto elapsed = std::chrono::steady_clock::now() - signalled;
    std::printf("%s: ended %.0f ms after SIGTERM\n", c.name,
                std::chrono::duration<double, std::milli>(elapsed).count());
    ASSERT_TRUE(exit_code.has_value()) << "still running";
    EXPECT_LT(elapsed, 1s);
    if (c.chimectl) {
      EXPECT_EQ(exit_code, 4);
    } else {
      EXPECT_EQ(exit_code, 0);
      EXPECT_TRUE(HasInOrder(rig.TraceTexts(), {"NotifyHost broken off : closing."}));
    }
  }
}

}  // namespace
}  // namespace chimewell::e2e
