#include "store/ownership.h"

namespace chimewell::store {

std::optional<std::string> UnsafeStoreOwnership(const std::string&, const std::string&) { return std::nullopt; }

}  // namespace chimewell::store
