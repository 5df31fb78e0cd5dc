// The POSIX backend's tests: the message-loop contract that the Win32 backend
// passes too, then what only the window bus has (raw peers, its folder).
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/message_loop.h"
#include "platform/posix/bus.h"
#include "testing/message_loop_contract.h"

namespace chimewell::testing_support::loop_contract {
// Names the case in gtest's messages instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
}  // namespace chimewell::testing_support::loop_contract

namespace chimewell::platform {
namespace {

namespace loop_contract = testing_support::loop_contract;

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

// The cases every backend must pass, each on a bus of its own.
class MessageLoopContract : public BusTest,
                            public ::testing::WithParamInterface<loop_contract::Case> {};

class GtestCheck final : public loop_contract::Check {
  void Fail(const std::string& what, const std::source_location& where) override {
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << what;
  }
};

TEST_P(MessageLoopContract, Holds) {
  GtestCheck check;
  GetParam().run(check);
}

INSTANTIATE_TEST_SUITE_P(PosixBackend, MessageLoopContract,
                         ::testing::ValuesIn(loop_contract::MessageLoopCases()),
                         [](const ::testing::TestParamInfo<loop_contract::Case>& param) {
                           return std::string(param.param.name);
                         });

// Records what it receives and answers 7.
class RecordingHandler : public WindowHandler {
 public:
  std::vector<std::string> events;
  std::intptr_t OnCopyData(std::uint64_t code, std::string_view payload) override {
    events.push_back("copy " + std::to_string(code) + " " + std::string(payload));
    return 7;
  }
  void OnTimeChange() override { events.push_back("timechange"); }
  void OnClose(std::uint32_t) override { events.push_back("close"); }
};

// Runs a loop with one window on its own thread until the window is closed.
class WindowThread {
 public:
  explicit WindowThread(RecordingHandler& handler,
                        std::function<void(const std::string&)> reporter = nullptr) {
    std::promise<WindowHandle> ready;
    auto handle = ready.get_future();
    thread_ = std::thread([&handler, &ready, reporter] {
      auto loop = CreateMessageLoop();
      if (reporter) loop->SetErrorReporter(reporter);
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

 private:
  std::thread thread_;
  WindowHandle handle_ = 0;
};

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

// A window on the bus whose owner never accepts nor answers: connections
// wait in its queue, as they do for a hung process.
class HungWindow {
 public:
  HungWindow(const std::string& bus, WindowHandle handle) : listener_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    posix::EnsureSafeBusDirectory(bus);
    address_.sun_family = AF_UNIX;
    std::strcpy(address_.sun_path, posix::WindowSocketPath(bus, handle).c_str());
    EXPECT_EQ(::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address_), sizeof address_), 0);
    EXPECT_EQ(::listen(listener_.Get(), 0), 0);
  }
  // Fills the queue with connections nobody will accept, so that the next
  // one is refused at once; false when it never filled.
  bool FillQueue() {
    for (int i = 0; i < 100; ++i) {
      queued_.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
      if (::connect(queued_.back().Get(), reinterpret_cast<sockaddr*>(&address_), sizeof address_) != 0 &&
          errno == EAGAIN) {
        return true;
      }
    }
    return false;
  }

 private:
  posix::UniqueFd listener_;
  sockaddr_un address_{};
  std::vector<posix::UniqueFd> queued_;
};

// A close signal ends a send that waits on a hung window within a second, in
// both waits a send has: for the answer, and for a window to accept. The close
// then reaches the window at the top level, and sends give up until it has.
TEST_F(BusTest, CloseSignalEndsASendThatWaitsOnAHungWindow) {
  using namespace std::chrono_literals;
  for (const bool queue_full : {false, true}) {
    SCOPED_TRACE(queue_full ? "waiting to be accepted" : "waiting for the answer");
    const WindowHandle hung = 0x3456;
    fs::remove_all(Bus());
    HungWindow hung_window(Bus(), hung);
    if (queue_full) {
      ASSERT_TRUE(hung_window.FillQueue());
    }
    auto loop = CreateMessageLoop();
    RecordingHandler handler;
    auto window = loop->CreateHiddenWindow("TestWnd", "Service", handler);
    const pthread_t sender = ::pthread_self();
    std::thread signaller([&] {
      std::this_thread::sleep_for(200ms);
      ::pthread_kill(sender, SIGTERM);
    });
    const auto start = std::chrono::steady_clock::now();
    const SendResult sent = loop->SendCopyData(hung, 2, "refreshed");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    signaller.join();
    EXPECT_FALSE(sent.delivered);
    EXPECT_TRUE(sent.interrupted);
    EXPECT_LT(elapsed, 1s);
    // Until the close is delivered, a further send does not wait either.
    EXPECT_TRUE(loop->SendCopyData(hung, 2, "again").interrupted);
    loop->Run();  // returns once the close is delivered
    EXPECT_EQ(handler.events, std::vector<std::string>{"close"});
  }
}

// A window whose owner never accepts (hung or stopped) while its queue of
// connections is full: the sender must not block in connect, must go on
// serving its own windows, and gives up after its limit as on a missing window.
TEST_F(BusTest, APeerThatNeverAcceptsDoesNotStallTheSender) {
  using namespace std::chrono_literals;
  const WindowHandle hung = 0x2345;
  HungWindow window_of_hung(Bus(), hung);
  ASSERT_TRUE(window_of_hung.FillQueue()) << "the queue never filled";

  // Still a window: it exists, only it is not accepting.
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(IsWindow(hung));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

  auto loop = CreateMessageLoop();
  RecordingHandler handler;
  auto window = loop->CreateHiddenWindow("TestWnd", "Sender", handler);
  SendResult meanwhile;
  std::thread other([&] {
    std::this_thread::sleep_for(200ms);
    meanwhile = CreateMessageLoop()->SendCopyData(window->Handle(), 5, "meanwhile");
  });
  start = std::chrono::steady_clock::now();
  const SendResult sent = loop->SendCopyData(hung, 10, "hello");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  window.reset();  // releases `other` should its message still wait
  other.join();

  EXPECT_FALSE(sent.delivered);
  EXPECT_FALSE(sent.access_denied);
  EXPECT_GE(elapsed, posix::kBusyWindowLimit);
  EXPECT_LT(elapsed, posix::kBusyWindowLimit + 1s);
  EXPECT_TRUE(meanwhile.delivered) << "our own window was not served while we waited";
  EXPECT_EQ(handler.events, std::vector<std::string>{"copy 5 meanwhile"});
}

// Reports of a loop running on another thread, read safely from the test's.
class Reports {
 public:
  std::function<void(const std::string&)> Reporter() {
    return [this](const std::string& text) {
      const std::lock_guard lock(mutex_);
      texts_.push_back(text);
    };
  }
  std::string All() {
    const std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& text : texts_) all += text + "\n";
    return all;
  }
  int Count(const std::string& text) {
    const std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(texts_.begin(), texts_.end(), text));
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> texts_;
};

// Opens a connection to `handle` that announces a payload of `announced`
// bytes and sends the first `sent` of them, then nothing more.
posix::UniqueFd TricklingPeer(const std::string& bus, WindowHandle handle, std::uint64_t announced,
                              std::size_t sent) {
  auto connection = posix::ConnectToWindow(bus, handle);
  // A full queue of connections refuses at once: wait for the window to take some.
  for (int tries = 0; !connection.fd.Valid() && connection.error == EAGAIN && tries < 1000; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    connection = posix::ConnectToWindow(bus, handle);
  }
  if (!connection.fd.Valid()) return {};
  const int fd = connection.fd.Get();
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  const posix::RequestHeader header{posix::kFrameMagic, 1, 10, announced};
  std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
  bytes.append(sent, 'x');
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;  // dropped by the window: that is its right
    done += static_cast<std::size_t>(n);
  }
  return std::move(connection.fd);
}

// More trickling peers than the window has room for: once they have been
// arriving for a while, the oldest make room and the calendar's message is
// served at once, not refused.
TEST_F(BusTest, SlowPeersMakeRoomForACommandThatArrivesWhole) {
  using namespace std::chrono_literals;
  RecordingHandler handler;
  Reports reports;
  WindowThread service(handler, reports.Reporter());
  std::vector<posix::UniqueFd> peers;
  for (int i = 0; i < 300; ++i) {
    peers.push_back(TricklingPeer(Bus(), service.Handle(), 1 << 20, 1));
    ASSERT_TRUE(peers.back().Valid()) << "peer " << i;
  }
  std::this_thread::sleep_for(1200ms);

  const auto start = std::chrono::steady_clock::now();
  const SendResult sent = CreateMessageLoop()->SendCopyData(service.Handle(), 10, "calendar");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(sent.delivered);
  EXPECT_EQ(sent.result, 7);
  EXPECT_GE(reports.Count("Dropped a slow message to make room"), 1) << reports.All();
}

[[maybe_unused]] std::size_t ResidentBytes() {  // unused under the address sanitizer
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

// Peers that announce 4 GiB and send 4 MiB each: what the window holds for
// them together stays within its cap, the oldest are dropped past it, and a
// whole command is still served.
TEST_F(BusTest, HalfReceivedPayloadsOfAllPeersStayWithinACap) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer keeps freed memory resident";
#else
  // Freed buffers go back to the system at once, so that what stays resident
  // is what the window holds (glibc would otherwise raise its threshold).
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  RecordingHandler handler;
  Reports reports;
  WindowThread service(handler, reports.Reporter());
  const std::size_t before = ResidentBytes();
  std::mutex peers_mutex;
  std::vector<posix::UniqueFd> peers;
  std::atomic<bool> over{false};
  // A peer that falls silent is dropped after 10 s. On a busy machine making
  // the 64 peers takes longer than that, and the first would be dropped for
  // their silence before the cap is reached: each peer sends a byte now and
  // then, so that only the cap drops them.
  std::thread keep_alive([&] {
    while (!over) {
      {
        const std::lock_guard lock(peers_mutex);
        for (const posix::UniqueFd& peer : peers) {
          const char byte = 'x';
          if (peer.Valid()) ::send(peer.Get(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  });
  for (int i = 0; i < 64; ++i) {
    posix::UniqueFd peer = TricklingPeer(Bus(), service.Handle(), 0xFFFFFFFFull, std::size_t{4} << 20);
    const std::lock_guard lock(peers_mutex);
    peers.push_back(std::move(peer));
  }
  const SendResult sent = CreateMessageLoop()->SendCopyData(service.Handle(), 10, "calendar");
  const std::size_t grown = ResidentBytes() - before;
  over = true;
  keep_alive.join();

  EXPECT_EQ(sent.result, 7);
  // 256 MiB were sent; the cap is 128 MiB, and nothing doubles past what arrived.
  EXPECT_LT(grown, std::size_t{160} << 20);
  EXPECT_GE(reports.Count("Dropped a slow message: half-received messages hold too much memory"), 1);
#endif
}

// Out of descriptors, a connection that cannot be accepted is taken off the
// queue and closed, traced once: the loop neither spins nor floods the trace,
// and serves again once descriptors are free.
TEST_F(BusTest, OutOfDescriptorsConnectionsAreRefusedWithoutSpinning) {
  using namespace std::chrono_literals;
  RecordingHandler handler;
  Reports reports;
  WindowThread service(handler, reports.Reporter());
  auto loop = CreateMessageLoop();
  const std::string path = posix::WindowSocketPath(Bus(), service.Handle());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  std::vector<posix::UniqueFd> clients;
  for (int i = 0; i < 3; ++i) clients.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(clients.back().Get() + 1);  // no descriptor left to accept on
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  for (const auto& client : clients) {
    ::connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  std::this_thread::sleep_for(300ms);
  const int traced = reports.Count(
      "accept failed: Too many open files; connections are refused until descriptors are free");
  std::vector<int> closed;
  for (const auto& client : clients) {
    pollfd p{client.Get(), POLLIN, 0};
    char byte;
    closed.push_back(::poll(&p, 1, 0) == 1 && ::recv(client.Get(), &byte, 1, MSG_DONTWAIT) <= 0);
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_EQ(traced, 1) << reports.All();
  EXPECT_EQ(closed, (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(loop->SendCopyData(service.Handle(), 10, "again").result, 7);
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
