// Whether the user's data folder and store are the user's own.
#pragma once

#include <optional>
#include <string>

namespace chimewell::store {

// Why the folder or the store at these paths is unsafe to serve from
// (it belongs to another user, or other users may write it, so they could
// put any bytes in the store or swap it), nullopt when both are the
// effective user's and not writable by others, or do not exist. Windows: the
// folder's access list decides; always nullopt.
std::optional<std::string> UnsafeStoreOwnership(const std::string& data_dir, const std::string& store_path);

}  // namespace chimewell::store
