#include "platform/files.h"

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "test_support/trace_capture.h"

namespace chimewell::platform {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The writer overwrites in place and cuts off the rest: whatever the file
// held before, only the new bytes remain.
TEST(WriteWholeFile, LeavesExactlyTheNewBytes) {
  struct Case {
    const char* name;
    std::optional<std::string> before;  // nullopt: no file yet
    std::string bytes;
  };
  const Case cases[] = {
      {"new file", std::nullopt, "{\"a\":1}"},
      {"longer before: the tail is cut off", std::string(5000, 'x'), "short"},
      {"shorter before", "ab", std::string(3000, 'y')},
      {"same length", "0123456789", "abcdefghij"},
      {"emptied", "old content", ""},
      {"zero bytes inside", std::nullopt, std::string("a\0b", 3)},
  };
  testing_support::TempFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = folder / "file.dat";
    DeleteFile(path);
    if (c.before) std::ofstream(path, std::ios::binary) << *c.before;
    WriteWholeFile(path, c.bytes);
    EXPECT_EQ(ReadAll(path), c.bytes);
  }
}

TEST(WriteWholeFile, NamesThePathWhenItCannotWrite) {
  testing_support::TempFolder folder;
  const std::string path = folder / "missing/file.dat";
  try {
    WriteWholeFile(path, "x");
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
  }
  EXPECT_FALSE(FileExists(path));
}

}  // namespace
}  // namespace chimewell::platform
