#include "platform/ownership.h"

namespace chimewell::platform {

std::optional<std::string> WhyOthersCanChange(const std::string&) { return std::nullopt; }

}  // namespace chimewell::platform
