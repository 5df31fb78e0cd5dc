#include "store/ownership.h"

#include "platform/ownership.h"

namespace chimewell::store {
namespace {

std::optional<std::string> Unsafe(const std::string& what, const std::string& path) {
  const std::optional<std::string> why = platform::WhyOthersCanChange(path);
  if (!why) return std::nullopt;
  return "Unsafe " + what + " " + path + ": " + *why;
}

}  // namespace

std::optional<std::string> UnsafeStoreOwnership(const std::string& data_dir, const std::string& store_path) {
  if (std::optional<std::string> folder = Unsafe("data folder", data_dir)) return folder;
  return Unsafe("store", store_path);
}

}  // namespace chimewell::store
