#include "testing/scoped_time_zone.h"

#include <ctime>

namespace chimewell::testing_support {

ScopedTimeZone::ScopedTimeZone(const std::string& zone) : tz_("TZ", zone) { ::tzset(); }

ScopedTimeZone::ReadTzAgain::~ReadTzAgain() { ::tzset(); }

}  // namespace chimewell::testing_support
