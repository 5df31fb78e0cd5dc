// A daily reminder whose time has passed earlier today in a given zone, for
// the end-to-end check that a rebuild lists it on both targets.
#pragma once

#include <cstdint>
#include <string>

namespace chimewell::e2e {

struct EarlierToday {
  std::int64_t start = 0;   // StartTime: earlier today, local to the zone
  std::string session;      // chimectl run input: the Append, then a clock change
  std::string element;      // what reminder.json must hold for it
};

// For the item `item` in calendar "ny" of the IANA zone `zone`, now.
EarlierToday DailyEarlierToday(const std::string& zone, const std::string& item);

}  // namespace chimewell::e2e
