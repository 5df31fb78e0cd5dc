#include "platform/posix/close_signals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace chimewell::platform::posix {

CloseSignals::CloseSignals() {
  // Blocked here so that threads started later inherit the mask and only the
  // signalfd sees them.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &mask, &old_mask_);
  fd_.Reset(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
}

CloseSignals::~CloseSignals() { ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr); }

bool CloseSignals::Drain() {
  bool any = false;
  signalfd_siginfo info;
  while (::read(fd_.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
  return any;
}

}  // namespace chimewell::platform::posix
