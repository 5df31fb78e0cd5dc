#include "host/storage_paths.h"

#include <gtest/gtest.h>

namespace chimewell::host {
namespace {

TEST(StoragePathsOf, JoinsTheUsersFoldersBelowTheDocumentsFolderAndTheTemplateBesideTheExecutable) {
  struct Case {
    std::string documents, executable;
    std::string data, template_db;
  };
  const Case cases[] = {
      {"/home/a/Documents", "/opt/cw/chimewell", "/home/a/Documents/Pelicorda/Calendar/Data/users/u1/",
       "/opt/cw/templates/base.db"},
      {"/home/a/Documents/", "/opt/cw/chimewell", "/home/a/Documents/Pelicorda/Calendar/Data/users/u1/",
       "/opt/cw/templates/base.db"},
      {"", "chimewell", "/Pelicorda/Calendar/Data/users/u1/", "templates/base.db"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.documents + " | " + c.executable);
    const StoragePaths paths = StoragePathsOf(c.documents, c.executable, "u1");
    EXPECT_EQ(paths.user_data_dir, c.data);
    EXPECT_EQ(paths.reminder_db, c.data + "reminder.db");
    EXPECT_EQ(paths.template_db, c.template_db);
  }
  EXPECT_EQ(StoragePathsOf("/d", "/x/p", "u2").user_cache_dir, "/d/Pelicorda/Calendar/Cache/users/u2/");
}

}  // namespace
}  // namespace chimewell::host
