#include "platform/posix/clock_change_watch.h"

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace chimewell::platform::posix {

ClockChangeWatch::ClockChangeWatch()
    : fd_(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (!fd_.Valid()) {
    throw std::runtime_error(std::string("Can not create the loop's timers: ") +
                             std::strerror(errno));
  }
  Arm();
}

bool ClockChangeWatch::Drain() {
  std::uint64_t expirations;
  const bool changed =
      ::read(fd_.Get(), &expirations, sizeof expirations) < 0 && errno == ECANCELED;
  Arm();
  return changed;
}

void ClockChangeWatch::Arm() {
  // Far in the future: only the cancellation on a clock change matters.
  itimerspec spec{};
  ::clock_gettime(CLOCK_REALTIME, &spec.it_value);
  spec.it_value.tv_sec += 10L * 365 * 24 * 3600;
  ::timerfd_settime(fd_.Get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr);
}

}  // namespace chimewell::platform::posix
