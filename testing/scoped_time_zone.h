// Runs a test in a chosen time zone. POSIX only (TZ and tzset); under Wine
// the zone comes from the machine, so the Windows test programs are started
// with it instead.
#pragma once

#include <string>

#include "testing/scoped_environment.h"

namespace chimewell::testing_support {

// Sets TZ for the object's lifetime (tzset() applied both ways, since
// localtime_r does not re-read TZ), then restores the previous value or its
// absence.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& zone);
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  // Members end in reverse order: TZ is put back first, then read again.
  struct ReadTzAgain {
    ~ReadTzAgain();
  } read_again_;
  ScopedEnvironmentVariable tz_;
};

}  // namespace chimewell::testing_support
