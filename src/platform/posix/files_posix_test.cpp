#include "platform/files.h"

#include <cerrno>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "test_support/temp_folder.h"

namespace chimewell::platform {
namespace {

FileSystem& files = RealFileSystem();

using testing_support::ReadFile;

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
    if (files.FileExists(path)) files.DeleteFile(path);
    if (c.before) std::ofstream(path, std::ios::binary) << *c.before;
    files.WriteWholeFile(path, c.bytes);
    EXPECT_EQ(ReadFile(path), c.bytes);
    EXPECT_EQ(files.ReadWholeFile(path), c.bytes);
  }
}

// Every failure is a FileError naming the path, the step and the system's code.
TEST(RealFileSystem, EachFailureNamesThePathTheStepAndTheCode) {
  testing_support::TempFolder folder;
  const std::string missing = folder / "missing/file.dat";
  const std::string file = folder / "file.dat";
  std::ofstream(file) << "x";
  struct Case {
    const char* name;
    std::function<void()> call;
    FileStep step;
    int code;
    std::string path;
  };
  const Case cases[] = {
      {"write", [&] { files.WriteWholeFile(missing, "x"); }, FileStep::kWrite, ENOENT, "Can not create " + missing},
      {"read", [&] { files.ReadWholeFile(missing); }, FileStep::kRead, ENOENT, missing},
      {"sync", [&] { files.SyncFile(missing); }, FileStep::kSync, ENOENT, missing},
      {"delete", [&] { files.DeleteFile(missing); }, FileStep::kDelete, ENOENT, missing},
      {"move", [&] { files.MoveFileReplacing(missing, file); }, FileStep::kMove, ENOENT, missing},
      {"copy", [&] { files.CopyFileReplacing(file, missing); }, FileStep::kCopy, ENOENT, missing},
      {"folder below a file", [&] { files.CreateDirectories(file + "/sub/"); }, FileStep::kCreateDirectories,
       ENOTDIR, file},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.call();
      ADD_FAILURE() << "no error";
    } catch (const FileError& error) {
      EXPECT_EQ(error.Step(), c.step);
      EXPECT_EQ(error.Code(), c.code);
      EXPECT_NE(std::string(error.what()).find(c.path), std::string::npos) << error.what();
    }
  }
  EXPECT_FALSE(files.FileExists(missing));
  EXPECT_EQ(ReadFile(file), "x");
}

TEST(RealFileSystem, CreateDirectoriesMakesTheWholeChainAndAcceptsOneThatExists) {
  testing_support::TempFolder folder;
  const std::string path = folder / "a/b/c/";
  files.CreateDirectories(path);
  EXPECT_TRUE(files.DirectoryExists(path));
  files.CreateDirectories(path);
  EXPECT_TRUE(files.DirectoryExists(folder / "a/b/c"));
}

}  // namespace
}  // namespace chimewell::platform
