// Shared by the instance lock tests: locks of their own and the handshake
// with the child process that holds a lock.
#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace platform::test {

// A lock of the test's own, which no other test or agent takes: on POSIX a
// lock file in dir, on Windows a mutex of a random name. Defined per
// platform, in instance_lock_posix_test.cc and instance_lock_win32_test.cc.
std::string uniqueLockName(const tavin::test::TempDir& dir);

// The environment variable that names the lock the child takes.
inline constexpr const char* kChildLockVariable = "TAVIN_INSTANCE_LOCK_CHILD";
// What the child prints once it holds the lock.
inline constexpr const char* kChildHoldsLock = "instance-lock-held";
// The arguments that make the test binary run only the child's test.
inline constexpr const char* kChildFilter = "--gtest_filter=InstanceLockChild.DISABLED_HoldsTheLock";
inline constexpr const char* kChildAlsoDisabled = "--gtest_also_run_disabled_tests";

}  // namespace platform::test
