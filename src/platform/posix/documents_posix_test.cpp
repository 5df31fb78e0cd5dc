#include "platform/documents.h"

#include <gtest/gtest.h>

namespace chimewell::platform {
namespace {

TEST(IsOneFolderName, RefusesWhatWouldLeaveOrNestInTheParent) {
  struct Case {
    std::string_view name;
    bool one_folder;
  } cases[] = {
      {"alice", true},  {"a.b", true},    {"...", true},     {"a:b", true},  {" ", true},
      {"", false},      {".", false},     {"..", false},     {"a/b", false}, {"../x", false},
      {"a\\b", false},  {"..\\x", false}, {"/", false},      {"x/", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsOneFolderName(c.name), c.one_folder) << "'" << c.name << "'";
}

}  // namespace
}  // namespace chimewell::platform
