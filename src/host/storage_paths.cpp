#include "host/storage_paths.h"

#include "platform/documents.h"
#include "platform/process.h"

namespace chimewell::host {

StoragePaths StoragePathsOf(const std::string& documents, const std::string& executable,
                            const std::string& user_id) {
  const std::string sep(1, platform::PathSeparator());
  std::string root = documents;
  if (root.empty() || root.back() != sep[0]) root += sep;
  root += "Pelicorda" + sep + "Calendar" + sep;

  const std::size_t cut = executable.find_last_of(sep + "/");
  const std::string exe_folder = cut == std::string::npos ? std::string() : executable.substr(0, cut + 1);

  StoragePaths paths;
  paths.user_data_dir = root + "Data" + sep + "users" + sep + user_id + sep;
  paths.user_cache_dir = root + "Cache" + sep + "users" + sep + user_id + sep;
  paths.reminder_db = paths.user_data_dir + "reminder.db";
  paths.template_db = exe_folder + "templates" + sep + "base.db";
  return paths;
}

StoragePaths ProcessStoragePaths(const std::string& user_id) {
  return StoragePathsOf(platform::DocumentsFolder(), platform::ExecutablePath(), user_id);
}

}  // namespace chimewell::host
