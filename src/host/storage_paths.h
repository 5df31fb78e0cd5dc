// Where the service keeps one user's files: built once at launch and handed
// to whatever writes there, so nothing below the process entry asks the
// platform where the Documents folder is.
#pragma once

#include <string>

namespace chimewell::host {

// Folders end with the platform's separator. None of these looks at the disk.
struct StoragePaths {
  std::string user_data_dir;   // <root>Data<sep>users<sep><user><sep>
  std::string user_cache_dir;  // <root>Cache<sep>users<sep><user><sep>
  std::string reminder_db;     // <user data dir>reminder.db
  std::string template_db;     // <executable's folder>templates<sep>base.db
};

// The paths of `user_id` below the Documents folder `documents`, where the
// root is `documents`, a separator unless it already ends with one, then
// "Pelicorda" and "Calendar", each followed by a separator; the template
// store lies beside the executable at `executable`.
StoragePaths StoragePathsOf(const std::string& documents, const std::string& executable,
                            const std::string& user_id);

// The running process's: the platform's Documents folder and executable.
StoragePaths ProcessStoragePaths(const std::string& user_id);

}  // namespace chimewell::host
