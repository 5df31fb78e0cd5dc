// From a local wall-clock time to the instant it names, on the machine's zone.
#pragma once

#include <cstdint>

namespace chimewell::today {

// Seconds east of UTC of local time at an instant (the service passes
// platform::LocalUtcOffsetAt; tests may pass a zone of their own).
using UtcOffsetAt = std::int64_t (*)(std::int64_t unix_seconds);

// The instant at which local wall-clock time reads `wall_seconds`, a local
// date and time counted in seconds as if it were UTC. A time that a
// daylight-saving switch skips moves forward by the gap (02:30 becomes 03:30);
// a time that occurs twice takes the first. A zone changes its offset at most
// once within a day of any time.
std::int64_t InstantOfLocalTime(std::int64_t wall_seconds, UtcOffsetAt offset_at);

}  // namespace chimewell::today
