// One service per user, the newest wins: a second launch for a user asks the
// running service to close, waits for it to end and then serves; services of
// other users are left alone; a running service that does not end makes the
// newcomer give up without serving.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "service_rig.h"

namespace chimewell::e2e {
namespace {

using namespace std::chrono_literals;

const std::string kAskedToClose = "A service of this user is running: asking it to close.";

std::string TakesOver(pid_t newcomer) {
  return "A newer service of this user (process " + std::to_string(newcomer) +
         ") takes over: this one ends.";
}

bool HasText(const std::vector<std::string>& texts, const std::string& wanted) {
  return std::find(texts.begin(), texts.end(), wanted) != texts.end();
}

bool HasPrefix(const std::vector<std::string>& texts, const std::string& prefix) {
  return std::any_of(texts.begin(), texts.end(),
                     [&](const std::string& text) { return text.rfind(prefix, 0) == 0; });
}

// Waits until the service `pid` has finished its start-up.
bool WaitUntilServing(const ServiceRig& rig, pid_t pid, std::chrono::milliseconds timeout = 10s) {
  for (const auto until = std::chrono::steady_clock::now() + timeout;
       std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(2ms)) {
    if (HasPrefix(rig.TraceTextsOf(pid), "Start tmrDay after ")) return true;
  }
  return false;
}

std::string Append(const std::string& item) {
  return R"({"method":"Reminder.Append","data":{"CalendarID":"A","ItemID":")" + item +
         R"(","ReminderType":0,"Enabled":1,"StartTime":0,"Repeat":1,"RepeatEnd":0}})";
}

// Two calendars' senders, each appending its own items to the window the
// calendar knows. A send that finds the window gone waits, as the calendar
// does after a relaunch, until the new service serves and sends again.
class Senders {
 public:
  Senders(ServiceRig& rig, int per_sender) {
    for (int s = 0; s < 2; ++s) {
      threads_.emplace_back([this, &rig, s, per_sender] {
        for (int n = 0; n < per_sender && !stop_;) {
          const platform::WindowHandle target = window_;
          if (target == 0) {
            std::this_thread::sleep_for(1ms);
            continue;
          }
          const std::string item = "s" + std::to_string(s) + "_" + std::to_string(n);
          const auto result = rig.SendTo(target, Append(item));
          if (!result) {
            while (window_ == target && !stop_) std::this_thread::sleep_for(1ms);
            continue;
          }
          if (*result == -1) {
            const std::lock_guard lock(mutex_);
            answered_.push_back("A|" + item + "|0|1|0|1|0|-");
          }
          ++n;
        }
      });
    }
  }
  ~Senders() { Join(); }
  // The window of the service that serves now.
  void Use(platform::WindowHandle window) { window_ = window; }
  void Join() {
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }
  void Stop() { stop_ = true; }
  std::vector<std::string> Answered() {
    const std::lock_guard lock(mutex_);
    return answered_;
  }

 private:
  std::atomic<platform::WindowHandle> window_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> answered_;
  std::vector<std::thread> threads_;
};

// Two services of one user, launched while the first serves and commands
// flow, and launched together, so that either may take the lock first:
// afterwards exactly one serves, the other ended with 0 and both traced it,
// and every command answered -1 by either is in the store.
TEST(SingleService, TwoLaunchesForOneUserLeaveOneServiceAndLoseNoAnsweredCommand) {
  struct Case {
    const char* name;
    bool second_while_first_serves;
  };
  for (const Case& c : {Case{"second launch while the first serves", true},
                        Case{"both launched together", false}}) {
    SCOPED_TRACE(c.name);
    ServiceRig rig;
    rig.Start();
    const pid_t first = rig.Pid();
    Senders senders(rig, kSanitized ? 60 : 200);
    if (c.second_while_first_serves) {
      ASSERT_TRUE(WaitUntilServing(rig, first));
      senders.Use(rig.RecordedServiceWindow());
      std::this_thread::sleep_for(100ms);
    }
    rig.StartAnother();
    const pid_t second = rig.Pid();

    // One of the two ends, the other serves.
    pid_t ended = 0, survivor = 0;
    for (const auto until = std::chrono::steady_clock::now() + 15s;
         ended == 0 && std::chrono::steady_clock::now() < until;) {
      for (const auto& [pid, other] : {std::pair{first, second}, std::pair{second, first}}) {
        if (const auto code = rig.WaitForExitOf(pid, 0ms)) {
          EXPECT_EQ(*code, 0);
          ended = pid;
          survivor = other;
        }
      }
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_NE(ended, 0) << "neither service ended";
    if (c.second_while_first_serves) {
      EXPECT_EQ(survivor, second) << "the older one won";
    }
    ASSERT_TRUE(WaitUntilServing(rig, survivor));
    const platform::WindowHandle window = rig.RecordedServiceWindow();
    senders.Use(window);
    senders.Join();

    EXPECT_EQ(rig.WaitForExitOf(survivor, 0ms), std::nullopt) << "the survivor ended";
    EXPECT_EQ(platform::FindWindowByClass("ChimewellWnd"), std::optional(window));
    EXPECT_EQ(platform::WindowProcessId(window), std::optional(static_cast<std::uint32_t>(survivor)));
    EXPECT_TRUE(HasText(rig.TraceTextsOf(ended), TakesOver(survivor)));
    const auto newcomer = rig.TraceTextsOf(survivor);
    EXPECT_TRUE(HasInOrder(newcomer, {kAskedToClose, "Init Start.", "PrepareDB OK."}));
    EXPECT_TRUE(HasPrefix(newcomer, "The running service ended after "));

    std::vector<std::string> answered = senders.Answered();
    EXPECT_EQ(answered.size(), 2u * (kSanitized ? 60 : 200));
    std::sort(answered.begin(), answered.end());
    StoreRows rows = rig.Rows();
    std::sort(rows.begin(), rows.end());
    std::vector<std::string> lost;
    std::set_difference(answered.begin(), answered.end(), rows.begin(), rows.end(),
                        std::back_inserter(lost));
    EXPECT_EQ(lost, std::vector<std::string>{}) << "answered -1 but not stored";
    EXPECT_EQ(rig.IntegrityCheck(), "ok");
    EXPECT_TRUE(rig.Close());
    // The survivor, which need not be the last one started.
    EXPECT_EQ(rig.WaitForExitOf(survivor, 10s), 0);
  }
}

// A service of another user is neither asked nor waited for.
TEST(SingleService, AnotherUsersServiceIsLeftRunning) {
  ServiceRig rig;
  rig.Start();
  const pid_t first = rig.Pid();
  ASSERT_TRUE(WaitUntilServing(rig, first));
  rig.StartAnother("u2|" + std::to_string(rig.View()));
  ASSERT_TRUE(WaitUntilServing(rig, rig.Pid()));
  EXPECT_EQ(rig.WaitForExitOf(first, 200ms), std::nullopt) << "the first user's service ended";
  EXPECT_FALSE(HasText(rig.TraceTexts(), kAskedToClose));
  EXPECT_FALSE(HasPrefix(rig.TraceTextsOf(first), "A newer service"));
}

// A running service that does not end (stopped here) is not replaced: the
// newcomer traces that it gives up and exits 0 without serving. The close
// request stays with the stopped one, which ends once it runs again.
TEST(SingleService, NewcomerGivesUpWhenTheRunningServiceDoesNotEnd) {
  ServiceRig rig;
  rig.Start();
  const pid_t stopped = rig.Pid();
  ASSERT_TRUE(WaitUntilServing(rig, stopped));
  ASSERT_EQ(::kill(stopped, SIGSTOP), 0);
  const auto started = std::chrono::steady_clock::now();
  rig.StartAnother();
  const pid_t newcomer_pid = rig.Pid();
  EXPECT_EQ(rig.WaitForExit(15s), 0);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, 5s);
  EXPECT_LT(waited, 10s);
  const auto newcomer = rig.TraceTexts();
  EXPECT_TRUE(HasInOrder(newcomer, {kAskedToClose}));
  EXPECT_TRUE(HasText(newcomer,
                      "Error!The running service did not end within 5000 ms: this launch ends "
                      "without serving."));
  EXPECT_FALSE(HasText(newcomer, "Init Start."));
  EXPECT_FALSE(rig.RecordedServiceWindow() == 0) << "the stopped service's record was lost";

  ASSERT_EQ(::kill(stopped, SIGCONT), 0);
  EXPECT_EQ(rig.WaitForExitOf(stopped, 10s), 0);
  EXPECT_TRUE(HasText(rig.TraceTextsOf(stopped), TakesOver(newcomer_pid)));
}

}  // namespace
}  // namespace chimewell::e2e
