#include "today/local_instant.h"

namespace chimewell::today {

std::int64_t InstantOfLocalTime(std::int64_t wall_seconds, UtcOffsetAt offset_at) {
  constexpr std::int64_t kDay = 86400;
  // Offsets run from -12 h to +14 h, so these instants lie well before and
  // well after the one sought: the offsets in force on either side of it.
  const std::int64_t before = offset_at(wall_seconds - kDay);
  const std::int64_t after = offset_at(wall_seconds + kDay);
  if (before == after) return wall_seconds - before;
  // A switch lies near: the time occurs under the offset before it, after it,
  // both (fall back: the first is the earlier) or neither (the gap).
  const std::int64_t under_before = wall_seconds - before;
  const std::int64_t under_after = wall_seconds - after;
  const bool before_holds = under_before + offset_at(under_before) == wall_seconds;
  const bool after_holds = under_after + offset_at(under_after) == wall_seconds;
  if (before_holds && after_holds) return under_before < under_after ? under_before : under_after;
  if (after_holds) return under_after;
  // Either the offset before holds, or the time falls in the gap: read under
  // the offset before the switch, it lands the length of the gap later.
  return under_before;
}

}  // namespace chimewell::today
