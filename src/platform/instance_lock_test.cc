#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/instance_lock_test_support.h"

namespace platform {
namespace {

TEST(InstanceLock, OneHolderPerName) {
  const tavin::test::TempDir dir;
  const std::string name = test::uniqueLockName(dir);
  bool alreadyRunning = true;
  InstanceLock first;
  ASSERT_TRUE(first.acquire(name, &alreadyRunning).isOk());
  EXPECT_FALSE(alreadyRunning);
  EXPECT_TRUE(first.isHeld());

  {
    InstanceLock second;
    ASSERT_TRUE(second.acquire(name, &alreadyRunning).isOk());
    EXPECT_TRUE(alreadyRunning);
    EXPECT_FALSE(second.isHeld());

    InstanceLock other;  // another name is another lock
    ASSERT_TRUE(other.acquire(name + "-other", &alreadyRunning).isOk());
    EXPECT_FALSE(alreadyRunning);
  }

  // A moved lock stays held; releasing it frees the name.
  InstanceLock moved(std::move(first));
  EXPECT_TRUE(moved.isHeld());
  moved.release();
  InstanceLock third;
  ASSERT_TRUE(third.acquire(name, &alreadyRunning).isOk());
  EXPECT_FALSE(alreadyRunning);
  EXPECT_TRUE(third.isHeld());
}

TEST(InstanceLock, DestructionReleases) {
  const tavin::test::TempDir dir;
  const std::string name = test::uniqueLockName(dir);
  bool alreadyRunning = true;
  {
    InstanceLock lock;
    ASSERT_TRUE(lock.acquire(name, &alreadyRunning).isOk());
    ASSERT_FALSE(alreadyRunning);
  }
  InstanceLock again;
  ASSERT_TRUE(again.acquire(name, &alreadyRunning).isOk());
  EXPECT_FALSE(alreadyRunning);
}

TEST(InstanceLock, EmptyNameIsAnError) {
  bool alreadyRunning = true;
  InstanceLock lock;
  EXPECT_FALSE(lock.acquire("", &alreadyRunning).isOk());
  EXPECT_FALSE(lock.isHeld());
}

TEST(InstanceLock, ActivatingWithoutARunningWindowDoesNothing) {
  EXPECT_FALSE(activateRunningInstance("TavinNoSuchClass", "TavinNoSuchTitle"));
}

// Run only as the child process of InstanceLock.HeldByAnotherProcess: takes
// the lock named in the environment, says so on stdout and holds it until
// the parent kills it (or a minute has passed).
TEST(InstanceLockChild, DISABLED_HoldsTheLock) {
  const char* name = std::getenv(test::kChildLockVariable);
  if (name == nullptr) GTEST_SKIP() << "runs only as a child process";
  InstanceLock lock;
  bool alreadyRunning = true;
  ASSERT_TRUE(lock.acquire(name, &alreadyRunning).isOk());
  ASSERT_FALSE(alreadyRunning);
  std::printf("%s\n", test::kChildHoldsLock);
  std::fflush(stdout);
  for (int i = 0; i < 600; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace
}  // namespace platform
