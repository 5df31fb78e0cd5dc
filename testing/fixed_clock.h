// Test helper: a clock that always reads the same moment.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace chimewell::testing_support {

// 2024-01-31 10:00:00 local, and 1706666400 (that moment at UTC).
class FixedClock final : public platform::Clock {
 public:
  platform::LocalDateTime LocalNow() const override { return {2024, 1, 31, 10, 0, 0, 0}; }
  std::int64_t UnixSeconds() const override { return 1706666400; }
};

}  // namespace chimewell::testing_support
