#include "platform/instance_lock.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/temp_folder.h"

namespace chimewell::platform {
namespace {

// One holder at a time; released by its owner's end, also by a kill, and
// held per folder.
TEST(InstanceLock, OneHolderPerFolderUntilItsProcessEnds) {
  testing_support::TempFolder folder, other;
  {
    auto held = TryInstanceLock(folder.Path());
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(TryInstanceLock(folder.Path()), nullptr) << "taken twice";
    EXPECT_NE(TryInstanceLock(other.Path()), nullptr) << "another folder's lock is its own";
  }
  EXPECT_NE(TryInstanceLock(folder.Path()), nullptr) << "not released by its owner";

  // A child that takes the lock and is killed without a chance to let go.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    auto lock = TryInstanceLock(folder.Path());
    const char taken = lock ? 'y' : 'n';
    (void)::write(ready[1], &taken, 1);
    ::pause();
    ::_exit(0);
  }
  char taken = 0;
  ASSERT_EQ(::read(ready[0], &taken, 1), 1);
  EXPECT_EQ(taken, 'y');
  EXPECT_EQ(TryInstanceLock(folder.Path()), nullptr) << "the child's lock was not seen";
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_NE(TryInstanceLock(folder.Path()), nullptr) << "a killed holder kept the lock";
}

TEST(InstanceLock, AMissingFolderIsAnError) {
  testing_support::TempFolder folder;
  EXPECT_THROW(TryInstanceLock(folder / "missing"), std::runtime_error);
}

}  // namespace
}  // namespace chimewell::platform
