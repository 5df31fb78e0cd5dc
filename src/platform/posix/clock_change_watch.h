// Reports that the wall clock was set: a CLOCK_REALTIME timerfd armed with
// TFD_TIMER_CANCEL_ON_SET, whose read fails with ECANCELED after a change.
#pragma once

#include "platform/posix/unique_fd.h"

namespace chimewell::platform::posix {

class ClockChangeWatch {
 public:
  // Throws std::runtime_error when the timerfd can not be made.
  ClockChangeWatch();

  int Fd() const { return fd_.Get(); }
  // After the fd polled readable: true when the clock was set. Watches on.
  bool Drain();

 private:
  void Arm();
  UniqueFd fd_;
};

}  // namespace chimewell::platform::posix
