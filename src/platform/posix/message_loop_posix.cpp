// The POSIX message loop: windows are listening sockets on the window bus
// (bus_presence), timers run on CLOCK_BOOTTIME (loop_timers), clock changes come
// from a cancelled CLOCK_REALTIME timer (clock_change_watch) and SIGTERM /
// SIGINT arrive through a signalfd as close requests (close_signals). This
// file waits on all of them and dispatches what is ready.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

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
#include "platform/posix/bus.h"
#include "platform/posix/bus_presence.h"
#include "platform/posix/clock_change_watch.h"
#include "platform/posix/close_signals.h"
#include "platform/posix/frame_reader.h"
#include "platform/posix/frame_sender.h"
#include "platform/posix/loop_clocks.h"
#include "platform/posix/loop_timers.h"
#include "platform/posix/peer_check.h"
#include "platform/posix/unique_fd.h"

namespace chimewell::platform {
namespace {

using posix::FrameKind;
using posix::MonotonicNs;
using posix::MonotonicNsAfter;
using posix::Reply;
using posix::ReplyStatus;
using posix::UniqueFd;

// A peer that stops sending in the middle of a message is dropped after this.
constexpr std::chrono::seconds kSilentPeerLimit{10};
// More half-received messages than this at once: the oldest, if it has been
// arriving for kSlowPeerAge already, makes room; otherwise the newcomer is
// refused at the door. A calendar's command arrives whole at once, so only
// slow peers are ever evicted.
constexpr std::size_t kMaxIncoming = 256;
constexpr std::chrono::seconds kSlowPeerAge{1};
// The memory that half-received payloads of all peers together may hold; past
// it the oldest ones are dropped. Above the largest command a calendar sends.
constexpr std::size_t kMaxHeldBytes = std::size_t{128} << 20;

std::string ErrnoText(int error) { return std::strerror(error); }

class PosixMessageLoop;

struct WindowState {
  WindowState(const std::string& class_name, std::mt19937& random, WindowHandler& h)
      : entry(class_name, random), handler(&h) {}
  posix::BusWindow entry;
  WindowHandler* handler;
};

class PosixWindow final : public Window {
 public:
  PosixWindow(PosixMessageLoop& loop, std::unique_ptr<WindowState> state)
      : loop_(loop), state_(std::move(state)) {}
  ~PosixWindow() override;
  WindowHandle Handle() const override { return state_->entry.Handle(); }

 private:
  PosixMessageLoop& loop_;
  std::unique_ptr<WindowState> state_;
};

// One message arriving on a window's socket.
struct Incoming {
  UniqueFd fd;
  WindowHandle window = 0;
  posix::FrameReader reader;
  std::int64_t started_ns = 0;   // CLOCK_MONOTONIC
  std::int64_t deadline_ns = 0;  // CLOCK_MONOTONIC
};

class PosixMessageLoop final : public MessageLoop {
 public:
  std::unique_ptr<Window> CreateHiddenWindow(const std::string& class_name,
                                             const std::string& title,
                                             WindowHandler& handler) override;
  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_timer) override {
    return timers_.Create(std::move(on_timer));
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

  void RemoveWindow(WindowHandle handle);

 private:
  // Waits once, at most `max_wait_ms` (-1: as long as it takes), and
  // dispatches what is ready. At the top level, timers count too; inside a
  // send only messages sent to our windows and clock changes do, as on
  // Windows. A close signal is taken at every level (so that a send to a hung
  // window cannot keep the process up) and delivered at the top level.
  // `extra` is the send's own socket.
  void WaitAndDispatch(bool top_level, pollfd* extra, int max_wait_ms = -1);
  void AcceptOn(WindowHandle handle);
  // Accepts and closes one connection while the process is out of
  // descriptors, with the reserve one freed for it; false when none was taken.
  bool RefuseForLackOfDescriptors(int listener, int error);
  bool MakeRoomForANewcomer();
  void KeepHeldBytesWithinTheCap(const Incoming& reading);
  void ReadFrom(std::list<Incoming>::iterator message);
  void Dispatch(Incoming message);
  void DeliverTimeChange();
  void DeliverClose();
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

  // Created in this order: a failure leaves no signal blocked.
  posix::LoopTimers timers_;
  posix::ClockChangeWatch clock_change_;
  posix::CloseSignals close_signals_;
  std::map<WindowHandle, WindowState*> windows_;
  std::list<Incoming> incoming_;  // in the order they arrived
  // Kept open so that, out of descriptors, a connection can still be accepted
  // and closed instead of staying ready and making the loop spin.
  UniqueFd reserve_fd_{::open("/dev/null", O_RDONLY | O_CLOEXEC)};
  bool out_of_descriptors_reported_ = false;
  bool quit_ = false;
  // A close signal arrived and is not yet delivered; sends give up meanwhile.
  bool close_requested_ = false;
  std::function<void(const std::string&)> reporter_;
  std::mt19937 random_{std::random_device{}()};
};

PosixWindow::~PosixWindow() { loop_.RemoveWindow(state_->entry.Handle()); }

std::unique_ptr<Window> PosixMessageLoop::CreateHiddenWindow(const std::string& class_name,
                                                             const std::string& /*title*/,
                                                             WindowHandler& handler) {
  auto state = std::make_unique<WindowState>(class_name, random_, handler);
  windows_[state->entry.Handle()] = state.get();
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

void PosixMessageLoop::WaitAndDispatch(bool top_level, pollfd* extra, int max_wait_ms) {
  enum Source { kExtra, kClockChange, kTimer, kSignal, kListener, kIncoming };
  std::vector<pollfd> fds;
  std::vector<std::pair<Source, std::uintptr_t>> sources;
  auto watch = [&](int fd, short events, Source source, std::uintptr_t key) {
    fds.push_back(pollfd{fd, events, 0});
    sources.emplace_back(source, key);
  };
  if (extra != nullptr) watch(extra->fd, extra->events, kExtra, 0);
  watch(clock_change_.Fd(), POLLIN, kClockChange, 0);
  if (top_level) {
    timers_.Arm();
    watch(timers_.Fd(), POLLIN, kTimer, 0);
  }
  if (close_signals_.Fd().Valid()) watch(close_signals_.Fd().Get(), POLLIN, kSignal, 0);
  for (const auto& [handle, window] : windows_) {
    watch(window->entry.Listener(), POLLIN, kListener, handle);
  }
  // A close taken inside a send made outside Run() is delivered without waiting.
  int timeout_ms = top_level && close_requested_ ? 0 : max_wait_ms;
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
  bool clock_changed = false, timer_due = false;
  std::vector<WindowHandle> accept_on;
  std::vector<Incoming*> readable;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    const auto [source, key] = sources[i];
    switch (source) {
      case kExtra: break;
      case kClockChange: clock_changed = clock_change_.Drain(); break;
      case kTimer:
        timers_.Acknowledge();
        timer_due = true;
        break;
      case kSignal:
        if (close_signals_.Drain()) close_requested_ = true;
        break;
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
  if (top_level && timer_due) {
    timers_.FireDue([this](const std::function<void()>& on_timer) { Guarded(on_timer); });
  }
  if (top_level && close_requested_) {
    close_requested_ = false;
    DeliverClose();
  }
}

void PosixMessageLoop::AcceptOn(WindowHandle handle) {
  for (;;) {
    // A handler run by an earlier message may have destroyed the window.
    auto window = windows_.find(handle);
    if (window == windows_.end()) return;
    const int listener = window->second->entry.Listener();
    UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid()) {
      const int error = errno;
      if (error == EMFILE || error == ENFILE) {
        if (RefuseForLackOfDescriptors(listener, error)) continue;
      } else if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
        Report("accept failed: " + ErrnoText(error));
      }
      return;
    }
    out_of_descriptors_reported_ = false;
    if (const auto foreign = posix::ForeignPeer(fd.Get())) {
      Report(*foreign);
      posix::SendRefusal(fd.Get());
      continue;
    }
    if (incoming_.size() >= kMaxIncoming && !MakeRoomForANewcomer()) {
      Report("Too many messages at once; one was refused");
      continue;
    }
    Incoming message;
    message.fd = std::move(fd);
    message.window = handle;
    message.started_ns = MonotonicNs();
    message.deadline_ns = MonotonicNsAfter(kSilentPeerLimit);
    incoming_.push_back(std::move(message));
    // Most messages have arrived whole by now: read at once.
    ReadFrom(std::prev(incoming_.end()));
  }
}

bool PosixMessageLoop::RefuseForLackOfDescriptors(int listener, int error) {
  // Traced once per shortage: each refused connection would otherwise add a line.
  if (!out_of_descriptors_reported_) {
    Report("accept failed: " + ErrnoText(error) +
           "; connections are refused until descriptors are free");
    out_of_descriptors_reported_ = true;
  }
  if (!reserve_fd_.Valid()) {
    reserve_fd_.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    return false;
  }
  reserve_fd_.Reset();
  UniqueFd refused(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  const bool taken = refused.Valid();
  refused.Reset();  // first: the reserve takes its descriptor back
  reserve_fd_.Reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  return taken;
}

bool PosixMessageLoop::MakeRoomForANewcomer() {
  const Incoming& oldest = incoming_.front();
  if (MonotonicNs() - oldest.started_ns < std::chrono::nanoseconds(kSlowPeerAge).count()) {
    return false;
  }
  Report("Dropped a slow message to make room");
  incoming_.pop_front();
  return true;
}

void PosixMessageLoop::KeepHeldBytesWithinTheCap(const Incoming& reading) {
  std::size_t held = 0;
  for (const Incoming& message : incoming_) held += message.reader.Held();
  for (auto it = incoming_.begin(); held > kMaxHeldBytes && it != incoming_.end();) {
    if (&*it == &reading) {
      ++it;
      continue;
    }
    held -= it->reader.Held();
    Report("Dropped a slow message: half-received messages hold too much memory");
    it = incoming_.erase(it);
  }
}

void PosixMessageLoop::ReadFrom(std::list<Incoming>::iterator it) {
  Incoming& message = *it;
  const std::size_t before = message.reader.Received();
  switch (message.reader.Read(message.fd.Get())) {
    case posix::FrameReader::Progress::kMore:
      if (message.reader.Received() != before) {
        message.deadline_ns = MonotonicNsAfter(kSilentPeerLimit);
        KeepHeldBytesWithinTheCap(message);
      }
      return;
    case posix::FrameReader::Progress::kDropped:
      if (!message.reader.Problem().empty()) Report(message.reader.Problem());
      incoming_.erase(it);
      return;
    case posix::FrameReader::Progress::kComplete: {
      Incoming complete = std::move(message);
      incoming_.erase(it);
      Dispatch(std::move(complete));
      return;
    }
  }
}

void PosixMessageLoop::Dispatch(Incoming message) {
  auto window = windows_.find(message.window);
  if (window == windows_.end()) return;
  WindowHandler& handler = *window->second->handler;
  const posix::RequestHeader& header = message.reader.Header();
  Reply reply{static_cast<std::uint64_t>(ReplyStatus::kHandled), 0};
  switch (static_cast<FrameKind>(header.kind)) {
    case FrameKind::kCopyData: {
      const std::string payload = message.reader.TakePayload();
      Guarded([&] { reply.result = handler.OnCopyData(header.code, payload); });
      break;
    }
    case FrameKind::kTimeChange: Guarded([&] { handler.OnTimeChange(); }); break;
    case FrameKind::kClose:
      Guarded([&] { handler.OnClose(static_cast<std::uint32_t>(header.code)); });
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
    if (window != windows_.end()) Guarded([&] { window->second->handler->OnClose(0); });
  }
  Quit();
}

SendResult PosixMessageLoop::Send(WindowHandle target, FrameKind kind, std::uint64_t code,
                                  std::string_view payload) {
  return posix::SendFrame(posix::BusDirectory(), target, kind, code, payload,
                          [this](pollfd* connection, int max_wait_ms) {
                            if (close_requested_) return false;
                            WaitAndDispatch(false, connection, max_wait_ms);
                            return !close_requested_;
                          });
}

}  // namespace

std::unique_ptr<MessageLoop> CreateMessageLoop() { return std::make_unique<PosixMessageLoop>(); }

bool IsWindow(WindowHandle handle) {
  return posix::ConnectToWindow(posix::BusDirectory(), handle).WindowExists();
}

std::optional<WindowHandle> FindWindowByClass(const std::string& class_name) {
  const std::string bus = posix::BusDirectory();
  posix::EnsureSafeBusDirectory(bus);
  return posix::FindLiveWindowOfClass(bus, class_name);
}

std::optional<std::uint32_t> WindowProcessId(WindowHandle handle) {
  return posix::WindowOwnerProcess(posix::BusDirectory(), handle);
}

bool PostClose(WindowHandle target, std::uint32_t asker) {
  return posix::PostFrame(posix::BusDirectory(), target, FrameKind::kClose, asker);
}

}  // namespace chimewell::platform
