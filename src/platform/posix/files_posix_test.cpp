#include "platform/files.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "testing/temp_folder.h"

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

// A link planted where the service writes is replaced by the service's own
// file; what it points to stays as it was (or absent, for a dangling link).
TEST(RealFileSystem, APlantedLinkIsReplacedNeverWrittenThrough) {
  namespace fs = std::filesystem;
  enum class Plant { kSymbolicLink, kHardLink, kPipe };
  struct Case {
    const char* name;
    const char* link;  // planted in the folder, pointing at the victim
    std::function<void(const std::string& folder)> write;
    const char* written;  // the service's file afterwards
    bool victim_exists = true;
    Plant plant = Plant::kSymbolicLink;
  };
  const auto write = [](const std::string& folder) { files.WriteWholeFile(folder + "/file.dat", "new"); };
  const auto copy = [](const std::string& folder) {
    files.CopyFileReplacing(folder + "/template.db", folder + "/store.db~");
  };
  const auto replace = [](const std::string& folder) {
    ReplaceFileAtomically(files, folder + "/today.json", "new");
  };
  const Case cases[] = {
      {"written file", "file.dat", write, "file.dat"},
      {"written file, dangling link", "file.dat", write, "file.dat", false},
      {"copy target", "store.db~", copy, "store.db~"},
      {"copy target, dangling link", "store.db~", copy, "store.db~", false},
      {"replacement of an atomic replace", "today.json~", replace, "today.json"},
      {"target of an atomic replace", "today.json", replace, "today.json"},
      // A rewrite in place must not take a second name of another file for
      // its own, nor wait on a pipe.
      {"written file, hard link", "file.dat", write, "file.dat", true, Plant::kHardLink},
      {"written file, pipe", "file.dat", write, "file.dat", false, Plant::kPipe},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::TempFolder folder;
    testing_support::TempFolder elsewhere;
    const std::string victim = elsewhere / "victim";
    if (c.victim_exists) std::ofstream(victim, std::ios::binary) << "victim's own";
    std::ofstream(folder / "template.db", std::ios::binary) << "new";
    switch (c.plant) {
      case Plant::kSymbolicLink: fs::create_symlink(victim, folder / c.link); break;
      case Plant::kHardLink: fs::create_hard_link(victim, folder / c.link); break;
      case Plant::kPipe: ASSERT_EQ(::mkfifo((folder / c.link).c_str(), 0600), 0); break;
    }

    c.write(folder.Path());

    const std::string written = folder / c.written;
    EXPECT_FALSE(fs::is_symlink(written));
    EXPECT_EQ(ReadFile(written), "new");
    if (c.victim_exists) {
      EXPECT_EQ(ReadFile(victim), "victim's own");
    } else {
      EXPECT_FALSE(fs::exists(victim));
    }
  }
}

// Rewritten in place, so the disk is not made to write a new file back at
// every rebuild; cut to the new length.
TEST(RealFileSystem, AFileOfOursIsRewrittenInPlaceAndCutToItsNewLength) {
  testing_support::TempFolder folder;
  const std::string path = folder / "~~reminder.dat";
  files.WriteWholeFile(path, "a longer first statement");
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  files.WriteWholeFile(path, "short");
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(ReadFile(path), "short");
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
