// SIGTERM and SIGINT as close requests: blocked on the creating thread and
// read from a signalfd instead, until this object restores the old mask.
#pragma once

#include <signal.h>

#include "platform/posix/unique_fd.h"

namespace chimewell::platform::posix {

class CloseSignals {
 public:
  CloseSignals();
  ~CloseSignals();
  CloseSignals(const CloseSignals&) = delete;
  CloseSignals& operator=(const CloseSignals&) = delete;

  // Invalid when no signalfd could be made: the signals then stay blocked.
  const UniqueFd& Fd() const { return fd_; }
  // Reads every pending signal; true when there was one.
  bool Drain();

 private:
  sigset_t old_mask_{};
  UniqueFd fd_;
};

}  // namespace chimewell::platform::posix
