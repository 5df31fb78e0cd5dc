#include "platform/posix/loop_timers.h"

#include <sys/timerfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/posix/loop_clocks.h"

namespace chimewell::platform::posix {
namespace {

class PosixTimer final : public Timer {
 public:
  PosixTimer(LoopTimers& timers, std::function<void()> on_timer) : timers_(timers) {
    state_.on_timer = std::move(on_timer);
    timers_.Add(state_);
  }
  ~PosixTimer() override { timers_.Remove(state_); }
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
  LoopTimers& timers_;
  LoopTimers::State state_;
};

}  // namespace

LoopTimers::LoopTimers() : fd_(::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (!fd_.Valid()) {
    throw std::runtime_error(std::string("Can not create the loop's timers: ") +
                             std::strerror(errno));
  }
}

std::unique_ptr<Timer> LoopTimers::Create(std::function<void()> on_timer) {
  return std::make_unique<PosixTimer>(*this, std::move(on_timer));
}

void LoopTimers::Add(State& timer) {
  timer.order = next_order_++;
  timers_.push_back(&timer);
}

void LoopTimers::Remove(State& timer) { std::erase(timers_, &timer); }

void LoopTimers::Arm() {
  itimerspec spec{};
  std::int64_t earliest = -1;
  for (const State* timer : timers_) {
    if (timer->enabled && (earliest < 0 || timer->due_ns < earliest)) earliest = timer->due_ns;
  }
  if (earliest >= 0) {
    // Zero would disarm: an overdue timer is armed for the next nanosecond.
    earliest = std::max<std::int64_t>(earliest, 1);
    spec.it_value.tv_sec = earliest / 1'000'000'000;
    spec.it_value.tv_nsec = earliest % 1'000'000'000;
  }
  ::timerfd_settime(fd_.Get(), TFD_TIMER_ABSTIME, &spec, nullptr);
}

void LoopTimers::Acknowledge() {
  std::uint64_t expirations;
  [[maybe_unused]] auto n = ::read(fd_.Get(), &expirations, sizeof expirations);
}

void LoopTimers::FireDue(const std::function<void(const std::function<void()>&)>& run) {
  const std::int64_t now = BootTimeNs();
  std::vector<State*> due;
  for (State* timer : timers_) {
    if (timer->enabled && timer->due_ns <= now) due.push_back(timer);
  }
  std::sort(due.begin(), due.end(), [](const State* a, const State* b) {
    return a->due_ns != b->due_ns ? a->due_ns < b->due_ns : a->order < b->order;
  });
  for (State* timer : due) {
    // An earlier callback may have destroyed or stopped this timer.
    if (std::find(timers_.begin(), timers_.end(), timer) == timers_.end() || !timer->enabled) {
      continue;
    }
    timer->due_ns = now + std::int64_t{timer->interval} * 1'000'000;
    run(timer->on_timer);
  }
}

}  // namespace chimewell::platform::posix
