// The POSIX message loop: windows are listening sockets on the window bus,
// timers run on CLOCK_BOOTTIME (so time spent asleep counts), a CLOCK_REALTIME
// timerfd with TFD_TIMER_CANCEL_ON_SET reports clock changes, and SIGTERM /
// SIGINT arrive through a signalfd as close requests.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

#include "platform/debug_output.h"
#include "platform/message_loop.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/window_bus.h"

namespace chimewell::platform {
namespace {

using posix::FrameKind;
using posix::Reply;
using posix::ReplyStatus;
using posix::RequestHeader;
using posix::UniqueFd;

// A peer that stops sending in the middle of a message is dropped after this.
constexpr std::chrono::seconds kSilentPeerLimit{10};
// More half-received messages than this at once are refused at the door.
constexpr std::size_t kMaxIncoming = 256;
// How often a send tries again to reach a window that does not accept.
constexpr int kBusyWindowRetryMs = 10;

std::int64_t BootTimeNs() {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

std::int64_t MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

std::int64_t MonotonicNsAfter(std::chrono::nanoseconds span) { return MonotonicNs() + span.count(); }

std::string ErrnoText(int error) { return std::strerror(error); }

class PosixMessageLoop;

struct WindowState {
  WindowHandle handle = 0;
  WindowHandler* handler = nullptr;
  UniqueFd listener;
  std::string socket_path;
  std::string class_path;
};

class PosixWindow final : public Window {
 public:
  PosixWindow(PosixMessageLoop& loop, std::unique_ptr<WindowState> state)
      : loop_(loop), state_(std::move(state)) {}
  ~PosixWindow() override;
  WindowHandle Handle() const override { return state_->handle; }

 private:
  PosixMessageLoop& loop_;
  std::unique_ptr<WindowState> state_;
};

struct TimerState {
  std::function<void()> on_timer;
  std::uint32_t interval = 1000;
  bool enabled = false;
  std::int64_t due_ns = 0;  // CLOCK_BOOTTIME
  std::uint64_t order = 0;  // breaks ties between timers due together
};

class PosixTimer final : public Timer {
 public:
  PosixTimer(PosixMessageLoop& loop, std::function<void()> on_timer);
  ~PosixTimer() override;
  void SetInterval(std::uint32_t milliseconds) override {
    state_.interval = milliseconds;
    if (state_.enabled) Restart();
  }
  std::uint32_t Interval() const override { return state_.interval; }
  void SetEnabled(bool enabled) override {
    state_.enabled = enabled;
    if (enabled) Restart();
  }
  bool Enabled() const override { return state_.enabled; }

 private:
  void Restart() { state_.due_ns = BootTimeNs() + std::int64_t{state_.interval} * 1'000'000; }
  PosixMessageLoop& loop_;
  TimerState state_;
};

// One message arriving on a window's socket.
struct Incoming {
  UniqueFd fd;
  WindowHandle window = 0;
  RequestHeader header{};
  std::size_t header_bytes = 0;
  std::string payload;
  std::size_t payload_bytes = 0;
  std::int64_t deadline_ns = 0;  // CLOCK_MONOTONIC
};

class PosixMessageLoop final : public MessageLoop {
 public:
  PosixMessageLoop();
  ~PosixMessageLoop() override;

  std::unique_ptr<Window> CreateHiddenWindow(const std::string& class_name,
                                             const std::string& title,
                                             WindowHandler& handler) override;
  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_timer) override {
    return std::make_unique<PosixTimer>(*this, std::move(on_timer));
  }
  void AllowCopyDataFromOtherProcesses() override {}
  void Run() override;
  void Quit() override { quit_ = true; }
  SendResult SendCopyData(WindowHandle target, std::uint64_t code,
                          std::string_view payload) override {
    return Send(target, FrameKind::kCopyData, code, payload);
  }
  SendResult SendTimeChange(WindowHandle target) override {
    return Send(target, FrameKind::kTimeChange, 0, {});
  }
  SendResult SendClose(WindowHandle target) override {
    return Send(target, FrameKind::kClose, 0, {});
  }
  void SetErrorReporter(std::function<void(const std::string&)> reporter) override {
    reporter_ = std::move(reporter);
  }

  void AddWindow(WindowState& window) { windows_[window.handle] = &window; }
  void RemoveWindow(WindowHandle handle);
  void AddTimer(TimerState& timer) {
    timer.order = next_timer_order_++;
    timers_.push_back(&timer);
  }
  void RemoveTimer(TimerState& timer) { std::erase(timers_, &timer); }

 private:
  // Waits once and dispatches what is ready. At the top level, timers and
  // signals count too; inside a send only messages sent to our windows and
  // clock changes do, as on Windows. `extra` is the send's own socket.
  // At most `max_wait_ms` is spent waiting (-1: as long as it takes).
  void WaitAndDispatch(bool top_level, pollfd* extra, int max_wait_ms = -1);
  void AcceptOn(WindowHandle handle);
  void ReadFrom(std::list<Incoming>::iterator message);
  void Dispatch(Incoming message);
  void DeliverTimeChange();
  void DeliverClose();
  void FireDueTimers();
  void ArmTimerFd();
  SendResult Send(WindowHandle target, FrameKind kind, std::uint64_t code,
                  std::string_view payload);
  void Report(const std::string& text) const {
    if (reporter_) {
      reporter_(text);
    } else {
      OutputDebugText(text);
    }
  }
  template <typename F>
  void Guarded(F&& call) {
    try {
      call();
    } catch (const std::exception& error) {
      Report(error.what());
    } catch (...) {
      Report("Unknown error in a message handler");
    }
  }

  std::map<WindowHandle, WindowState*> windows_;
  std::vector<TimerState*> timers_;
  std::list<Incoming> incoming_;
  std::uint64_t next_timer_order_ = 0;
  bool quit_ = false;
  std::function<void(const std::string&)> reporter_;
  UniqueFd timer_fd_;         // CLOCK_BOOTTIME, armed for the earliest timer
  UniqueFd clock_change_fd_;  // CLOCK_REALTIME, cancelled when the clock is set
  UniqueFd signal_fd_;
  sigset_t old_mask_{};
  std::mt19937 random_{std::random_device{}()};
};

PosixWindow::~PosixWindow() {
  loop_.RemoveWindow(state_->handle);
  ::unlink(state_->class_path.c_str());
  ::unlink(state_->socket_path.c_str());
}

PosixTimer::PosixTimer(PosixMessageLoop& loop, std::function<void()> on_timer) : loop_(loop) {
  state_.on_timer = std::move(on_timer);
  loop_.AddTimer(state_);
}

PosixTimer::~PosixTimer() { loop_.RemoveTimer(state_); }

void ArmClockChangeFd(int fd) {
  // Far in the future: only the cancellation on a clock change matters.
  itimerspec spec{};
  ::clock_gettime(CLOCK_REALTIME, &spec.it_value);
  spec.it_value.tv_sec += 10L * 365 * 24 * 3600;
  ::timerfd_settime(fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr);
}

PosixMessageLoop::PosixMessageLoop()
    : timer_fd_(::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC)),
      clock_change_fd_(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (!timer_fd_.Valid() || !clock_change_fd_.Valid()) {
    throw std::runtime_error("Can not create the loop's timers: " + ErrnoText(errno));
  }
  ArmClockChangeFd(clock_change_fd_.Get());
  // Close requests by signal: blocked here so that threads started later
  // inherit the mask and only the signalfd sees them.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &mask, &old_mask_);
  signal_fd_.Reset(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
}

PosixMessageLoop::~PosixMessageLoop() { ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr); }

std::unique_ptr<Window> PosixMessageLoop::CreateHiddenWindow(const std::string& class_name,
                                                             const std::string& /*title*/,
                                                             WindowHandler& handler) {
  if (class_name.empty() || class_name.find('/') != std::string::npos) {
    throw std::runtime_error("Invalid window class name '" + class_name + "'");
  }
  const std::string bus = posix::BusDirectory();
  posix::EnsureSafeBusDirectory(bus);

  auto state = std::make_unique<WindowState>();
  state->handler = &handler;
  state->listener.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!state->listener.Valid()) {
    throw std::runtime_error("Can not create a window socket: " + ErrnoText(errno));
  }
  std::uniform_int_distribution<WindowHandle> pick(1, 0x7FFFFFFF);
  for (int attempt = 0;; ++attempt) {
    const WindowHandle handle = pick(random_);
    const std::string path = posix::WindowSocketPath(bus, handle);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
      throw std::runtime_error("Window bus path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::bind(state->listener.Get(), reinterpret_cast<const sockaddr*>(&address),
               sizeof address) == 0) {
      ::chmod(path.c_str(), 0600);
      state->handle = handle;
      state->socket_path = path;
      break;
    }
    if (errno != EADDRINUSE || attempt >= 100) {
      throw std::runtime_error("Can not create window socket " + path + ": " + ErrnoText(errno));
    }
    // Taken: by a live window (pick again) or a dead one's leftover (reuse).
    if (posix::ConnectToWindow(bus, handle).error == ECONNREFUSED) ::unlink(path.c_str());
  }
  if (::listen(state->listener.Get(), 128) != 0) {
    ::unlink(state->socket_path.c_str());
    throw std::runtime_error("Can not listen on " + state->socket_path + ": " + ErrnoText(errno));
  }
  state->class_path = posix::ClassEntryPath(bus, class_name, state->handle);
  UniqueFd entry(::open(state->class_path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600));
  if (!entry.Valid()) {
    ::unlink(state->socket_path.c_str());
    throw std::runtime_error("Can not register window class " + state->class_path + ": " +
                             ErrnoText(errno));
  }
  AddWindow(*state);
  return std::make_unique<PosixWindow>(*this, std::move(state));
}

void PosixMessageLoop::RemoveWindow(WindowHandle handle) {
  windows_.erase(handle);
  // Messages half-received for a window that is gone end here; their senders
  // see the connection close without an answer.
  incoming_.remove_if([handle](const Incoming& message) { return message.window == handle; });
}

void PosixMessageLoop::Run() {
  // A Quit() from before this call counts (as a posted WM_QUIT does) and is
  // used up by it.
  while (!quit_) WaitAndDispatch(true, nullptr);
  quit_ = false;
}

void PosixMessageLoop::ArmTimerFd() {
  itimerspec spec{};
  std::int64_t earliest = -1;
  for (const TimerState* timer : timers_) {
    if (timer->enabled && (earliest < 0 || timer->due_ns < earliest)) earliest = timer->due_ns;
  }
  if (earliest >= 0) {
    // Zero would disarm: an overdue timer is armed for the next nanosecond.
    earliest = std::max<std::int64_t>(earliest, 1);
    spec.it_value.tv_sec = earliest / 1'000'000'000;
    spec.it_value.tv_nsec = earliest % 1'000'000'000;
  }
  ::timerfd_settime(timer_fd_.Get(), TFD_TIMER_ABSTIME, &spec, nullptr);
}

void PosixMessageLoop::WaitAndDispatch(bool top_level, pollfd* extra, int max_wait_ms) {
  enum Source { kExtra, kClockChange, kTimer, kSignal, kListener, kIncoming };
  std::vector<pollfd> fds;
  std::vector<std::pair<Source, std::uintptr_t>> sources;
  auto watch = [&](int fd, short events, Source source, std::uintptr_t key) {
    fds.push_back(pollfd{fd, events, 0});
    sources.emplace_back(source, key);
  };
  if (extra != nullptr) watch(extra->fd, extra->events, kExtra, 0);
  watch(clock_change_fd_.Get(), POLLIN, kClockChange, 0);
  if (top_level) {
    ArmTimerFd();
    watch(timer_fd_.Get(), POLLIN, kTimer, 0);
    if (signal_fd_.Valid()) watch(signal_fd_.Get(), POLLIN, kSignal, 0);
  }
  for (const auto& [handle, window] : windows_) {
    watch(window->listener.Get(), POLLIN, kListener, handle);
  }
  int timeout_ms = max_wait_ms;
  const std::int64_t now = MonotonicNs();
  for (auto it = incoming_.begin(); it != incoming_.end(); ++it) {
    watch(it->fd.Get(), POLLIN, kIncoming, reinterpret_cast<std::uintptr_t>(&*it));
    const std::int64_t left_ms = std::max<std::int64_t>(0, (it->deadline_ns - now) / 1'000'000 + 1);
    if (timeout_ms < 0 || left_ms < timeout_ms) timeout_ms = static_cast<int>(left_ms);
  }

  int ready = ::poll(fds.data(), fds.size(), timeout_ms);
  if (ready < 0) {
    if (errno != EINTR) Report("poll failed: " + ErrnoText(errno));
    return;
  }
  if (extra != nullptr) extra->revents = fds[0].revents;

  // Dispatching may add or remove windows and messages: act on what was
  // ready, looking each one up again before use.
  bool clock_changed = false, timer_due = false, close_requested = false;
  std::vector<WindowHandle> accept_on;
  std::vector<Incoming*> readable;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    const auto [source, key] = sources[i];
    switch (source) {
      case kExtra: break;
      case kClockChange: {
        std::uint64_t expirations;
        if (::read(fds[i].fd, &expirations, sizeof expirations) < 0 && errno == ECANCELED) {
          clock_changed = true;
        }
        ArmClockChangeFd(fds[i].fd);
        break;
      }
      case kTimer: {
        std::uint64_t expirations;
        [[maybe_unused]] auto n = ::read(fds[i].fd, &expirations, sizeof expirations);
        timer_due = true;
        break;
      }
      case kSignal: {
        signalfd_siginfo info;
        while (::read(fds[i].fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          close_requested = true;
        }
        break;
      }
      case kListener: accept_on.push_back(static_cast<WindowHandle>(key)); break;
      case kIncoming: readable.push_back(reinterpret_cast<Incoming*>(key)); break;
    }
  }

  for (Incoming* message : readable) {
    auto it = std::find_if(incoming_.begin(), incoming_.end(),
                           [message](const Incoming& m) { return &m == message; });
    if (it != incoming_.end()) ReadFrom(it);
  }
  for (WindowHandle handle : accept_on) AcceptOn(handle);
  // Drop peers that went silent in the middle of a message.
  const std::int64_t after = MonotonicNs();
  for (auto it = incoming_.begin(); it != incoming_.end();) {
    if (it->deadline_ns <= after) {
      Report("Dropped a message from a silent peer");
      it = incoming_.erase(it);
    } else {
      ++it;
    }
  }
  if (clock_changed) DeliverTimeChange();
  if (top_level && timer_due) FireDueTimers();
  if (top_level && close_requested) DeliverClose();
}

void PosixMessageLoop::AcceptOn(WindowHandle handle) {
  for (;;) {
    // A handler run by an earlier message may have destroyed the window.
    auto window = windows_.find(handle);
    if (window == windows_.end()) return;
    UniqueFd fd(::accept4(window->second->listener.Get(), nullptr, nullptr,
                          SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid()) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        Report("accept failed: " + ErrnoText(errno));
      }
      return;
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        peer.uid != ::geteuid()) {
      Report("Refused a message from user " + std::to_string(peer.uid) + " (process " +
             std::to_string(peer.pid) + ")");
      const Reply refusal{static_cast<std::uint64_t>(ReplyStatus::kRefused), 0};
      ::send(fd.Get(), &refusal, sizeof refusal, MSG_NOSIGNAL | MSG_DONTWAIT);
      continue;
    }
    if (incoming_.size() >= kMaxIncoming) {
      Report("Too many messages at once; one was refused");
      continue;
    }
    Incoming message;
    message.fd = std::move(fd);
    message.window = handle;
    message.deadline_ns =
        MonotonicNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(kSilentPeerLimit).count();
    incoming_.push_back(std::move(message));
    // Most messages have arrived whole by now: read at once.
    ReadFrom(std::prev(incoming_.end()));
  }
}

void PosixMessageLoop::ReadFrom(std::list<Incoming>::iterator it) {
  Incoming& message = *it;
  for (;;) {
    char* target;
    std::size_t wanted;
    if (message.header_bytes < sizeof message.header) {
      target = reinterpret_cast<char*>(&message.header) + message.header_bytes;
      wanted = sizeof message.header - message.header_bytes;
    } else {
      const std::size_t left = message.header.size - message.payload_bytes;
      if (left == 0) break;
      // Grow with what arrives, so a header that claims a huge size costs
      // nothing until the bytes are really sent.
      const std::size_t chunk = std::min<std::size_t>(left, std::max<std::size_t>(65536, message.payload_bytes));
      if (message.payload.size() < message.payload_bytes + chunk) {
        message.payload.resize(message.payload_bytes + chunk);
      }
      target = message.payload.data() + message.payload_bytes;
      wanted = chunk;
    }
    const ssize_t got = ::recv(message.fd.Get(), target, wanted, 0);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (errno == EINTR) continue;
      Report("Dropped a message: " + ErrnoText(errno));
      incoming_.erase(it);
      return;
    }
    if (got == 0) {
      // A connection closed before any byte is a probe (IsWindow); anything
      // else is a message cut short.
      if (message.header_bytes != 0) Report("Dropped a message cut short by its sender");
      incoming_.erase(it);
      return;
    }
    message.deadline_ns =
        MonotonicNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(kSilentPeerLimit).count();
    if (message.header_bytes < sizeof message.header) {
      message.header_bytes += static_cast<std::size_t>(got);
      if (message.header_bytes == sizeof message.header) {
        const auto kind = message.header.kind;
        if (message.header.magic != posix::kFrameMagic || kind < 1 || kind > 3 ||
            message.header.size > posix::kMaxPayload) {
          Report("Dropped a malformed message");
          incoming_.erase(it);
          return;
        }
      }
    } else {
      message.payload_bytes += static_cast<std::size_t>(got);
    }
  }
  message.payload.resize(message.payload_bytes);
  Incoming complete = std::move(message);
  incoming_.erase(it);
  Dispatch(std::move(complete));
}

void PosixMessageLoop::Dispatch(Incoming message) {
  auto window = windows_.find(message.window);
  if (window == windows_.end()) return;
  WindowHandler& handler = *window->second->handler;
  Reply reply{static_cast<std::uint64_t>(ReplyStatus::kHandled), 0};
  switch (static_cast<FrameKind>(message.header.kind)) {
    case FrameKind::kCopyData:
      Guarded([&] {
        reply.result = handler.OnCopyData(message.header.code, message.payload);
      });
      break;
    case FrameKind::kTimeChange: Guarded([&] { handler.OnTimeChange(); }); break;
    case FrameKind::kClose:
      Guarded([&] { handler.OnClose(); });
      Quit();
      break;
  }
  ::send(message.fd.Get(), &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void PosixMessageLoop::DeliverTimeChange() {
  std::vector<WindowHandle> handles;
  for (const auto& entry : windows_) handles.push_back(entry.first);
  for (WindowHandle handle : handles) {
    auto window = windows_.find(handle);
    if (window != windows_.end()) Guarded([&] { window->second->handler->OnTimeChange(); });
  }
}

void PosixMessageLoop::DeliverClose() {
  std::vector<WindowHandle> handles;
  for (const auto& entry : windows_) handles.push_back(entry.first);
  for (WindowHandle handle : handles) {
    auto window = windows_.find(handle);
    if (window != windows_.end()) Guarded([&] { window->second->handler->OnClose(); });
  }
  Quit();
}

void PosixMessageLoop::FireDueTimers() {
  const std::int64_t now = BootTimeNs();
  std::vector<TimerState*> due;
  for (TimerState* timer : timers_) {
    if (timer->enabled && timer->due_ns <= now) due.push_back(timer);
  }
  std::sort(due.begin(), due.end(), [](const TimerState* a, const TimerState* b) {
    return a->due_ns != b->due_ns ? a->due_ns < b->due_ns : a->order < b->order;
  });
  for (TimerState* timer : due) {
    // An earlier callback may have destroyed or stopped this timer.
    if (std::find(timers_.begin(), timers_.end(), timer) == timers_.end() || !timer->enabled) {
      continue;
    }
    timer->due_ns = now + std::int64_t{timer->interval} * 1'000'000;
    Guarded([&] { timer->on_timer(); });
  }
}

SendResult PosixMessageLoop::Send(WindowHandle target, FrameKind kind, std::uint64_t code,
                                  std::string_view payload) {
  SendResult outcome;
  if (payload.size() > posix::kMaxPayload) return outcome;
  const std::string bus = posix::BusDirectory();
  posix::Connection connection = posix::ConnectToWindow(bus, target);
  // A window that does not accept is tried again, serving our own windows
  // meanwhile, until the limit.
  const std::int64_t give_up_ns = MonotonicNsAfter(posix::kBusyWindowLimit);
  while (connection.error == EAGAIN && MonotonicNs() < give_up_ns) {
    WaitAndDispatch(false, nullptr, kBusyWindowRetryMs);
    connection = posix::ConnectToWindow(bus, target);
  }
  if (!connection.fd.Valid()) {
    outcome.access_denied = connection.error == EACCES || connection.error == EPERM;
    return outcome;
  }
  const RequestHeader header{posix::kFrameMagic, static_cast<std::uint32_t>(kind), code,
                             payload.size()};
  std::string_view parts[2] = {
      std::string_view(reinterpret_cast<const char*>(&header), sizeof header), payload};
  std::size_t part = 0, offset = 0;
  Reply reply{};
  std::size_t reply_bytes = 0;
  const int fd = connection.fd.Get();
  bool sending = true;
  for (;;) {
    while (sending && part < 2) {
      if (offset == parts[part].size()) {
        ++part;
        offset = 0;
        continue;
      }
      const ssize_t sent = ::send(fd, parts[part].data() + offset, parts[part].size() - offset,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) sending = false;  // refused? read below
        break;
      }
      offset += static_cast<std::size_t>(sent);
    }
    if (part == 2) sending = false;
    // The reply (or a refusal that came before we finished sending).
    const ssize_t got =
        ::recv(fd, reinterpret_cast<char*>(&reply) + reply_bytes, sizeof reply - reply_bytes, 0);
    if (got > 0) {
      reply_bytes += static_cast<std::size_t>(got);
      if (reply_bytes == sizeof reply) break;
      continue;
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return outcome;
    pollfd wait{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    WaitAndDispatch(false, &wait);
  }
  if (static_cast<ReplyStatus>(reply.status) == ReplyStatus::kRefused) {
    outcome.access_denied = true;
    return outcome;
  }
  outcome.delivered = true;
  outcome.result = static_cast<std::intptr_t>(reply.result);
  return outcome;
}

}  // namespace

std::unique_ptr<MessageLoop> CreateMessageLoop() { return std::make_unique<PosixMessageLoop>(); }

bool IsWindow(WindowHandle handle) {
  return posix::ConnectToWindow(posix::BusDirectory(), handle).WindowExists();
}

std::optional<WindowHandle> FindWindowByClass(const std::string& class_name) {
  return posix::FindLiveWindowOfClass(posix::BusDirectory(), class_name);
}

}  // namespace chimewell::platform
