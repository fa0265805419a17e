// One agent per host: a lock that only one process can hold at a time and
// that the system releases when the process ends, however it ends (no stale
// lock after a crash or a kill).
//
// Windows: a named mutex. POSIX: a Unix socket bound to a name in the
// abstract namespace, which the kernel drops with the last descriptor.
// Move-only; released on destruction. One thread at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/sys_status.h"

namespace platform {

// The lock name of the agent; tests use names of their own.
inline constexpr std::string_view kInstanceLockName = "TavinMonitorAgent";

class InstanceLock {
 public:
  InstanceLock();
  ~InstanceLock();
  InstanceLock(InstanceLock&&) noexcept;
  InstanceLock& operator=(InstanceLock&&) noexcept;

  // Tries to take the lock called name (GBK, not empty). Ok with
  // *alreadyRunning false: this object holds it now. Ok with *alreadyRunning
  // true: another holder has it (in this process or another). An error: the
  // lock could not be tried at all.
  SysStatus acquire(const std::string& name, bool* alreadyRunning);
  bool isHeld() const;
  void release();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Brings the running agent to the front: finds the top-level window of the
// given class and title (GBK), restores it if it is minimised and makes it
// the foreground window. Best effort; false when no such window exists.
// POSIX has no window to activate and returns false.
bool activateRunningInstance(const std::string& windowClass, const std::string& title);

}  // namespace platform
