// Shared by the instance lock tests: lock names of their own and the
// handshake with the child process that holds a lock.
#pragma once

#include <random>
#include <string>

namespace platform::test {

// The environment variable that names the lock the child takes.
inline constexpr const char* kChildLockVariable = "TAVIN_INSTANCE_LOCK_CHILD";
// What the child prints once it holds the lock.
inline constexpr const char* kChildHoldsLock = "instance-lock-held";
// The arguments that make the test binary run only the child's test.
inline constexpr const char* kChildFilter = "--gtest_filter=InstanceLockChild.DISABLED_HoldsTheLock";
inline constexpr const char* kChildAlsoDisabled = "--gtest_also_run_disabled_tests";

inline std::string uniqueLockName() {
  std::random_device random;
  return "TavinMonitorAgent-test-" + std::to_string(random()) + "-" + std::to_string(random());
}

}  // namespace platform::test
