// The timers of one POSIX loop: due times on CLOCK_BOOTTIME (so time spent
// asleep counts) and one timerfd armed for the earliest of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/message_loop.h"
#include "platform/posix/unique_fd.h"

namespace chimewell::platform::posix {

class LoopTimers {
 public:
  // Throws std::runtime_error when the timerfd can not be made.
  LoopTimers();
  LoopTimers(const LoopTimers&) = delete;
  LoopTimers& operator=(const LoopTimers&) = delete;

  // A disabled timer with interval 1000 ms; it must not outlive this object.
  std::unique_ptr<Timer> Create(std::function<void()> on_timer);

  // The timerfd, readable when the earliest timer is due after Arm().
  int Fd() const { return fd_.Get(); }
  void Arm();
  void Acknowledge();
  // Fires each enabled timer that is due, earliest first (creation order
  // among equals), each through `run`, which must not let an exception out.
  void FireDue(const std::function<void(const std::function<void()>&)>& run);

  struct State {
    std::function<void()> on_timer;
    std::uint32_t interval = 1000;
    bool enabled = false;
    std::int64_t due_ns = 0;  // CLOCK_BOOTTIME
    std::uint64_t order = 0;  // breaks ties between timers due together
  };
  void Add(State& timer);
  void Remove(State& timer);

 private:
  std::vector<State*> timers_;
  std::uint64_t next_order_ = 0;
  UniqueFd fd_;
};

}  // namespace chimewell::platform::posix
