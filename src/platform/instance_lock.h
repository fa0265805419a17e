// One agent at a time: a lock that only one process can hold at a time and
// that the system releases when the process ends, however it ends (no stale
// lock after a crash or a kill).
//
// Windows: a named mutex in the global namespace, one per host, so that the
// service in session 0 and a tray application in a user's session see each
// other. Holding it means owning it (a handle that another program keeps
// open is no hold), and only the system, administrators, interactive users
// and services may take it.
//
// POSIX: an advisory lock (flock) on a file, one per installation. The
// agent's lock file lies beside its executable, or where a symbolic link of
// that name beside it points, so that only what can write the
// installation's directory decides where it is. It is created readable and
// writable by its owner alone (0600). Only a regular file of the agent's own
// user that no other user may open is used: then no other user can take the
// lock first, nor hold it to keep the agent from starting. Anything else
// (another owner, group or other permission bits, a symbolic link, a FIFO, a
// directory) is an error, never "already running".
//
// Move-only; released on destruction. One thread at a time; on Windows the
// thread that took the lock holds it, and must outlive the hold.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/sys_status.h"

namespace platform {

// The name of the agent's mutex on Windows, in the global namespace.
inline constexpr std::string_view kInstanceLockName = "TavinMonitorAgent";
// What the agent's lock file is named after its executable: the executable's
// path without its extension, then this.
inline constexpr std::string_view kInstanceLockFileExtension = ".lock";

// The agent's own lock: on Windows the mutex "Global\TavinMonitorAgent", on
// POSIX the lock file beside the running executable
// ("/opt/tavin/TavinMonitorAgent" locks "/opt/tavin/TavinMonitorAgent.lock"),
// or, when that name is a symbolic link, the file it points to (a relative
// link starts at the executable's directory; the link is followed once). Empty when the
// executable's path cannot be found.
std::string instanceLockName();

class InstanceLock {
 public:
  InstanceLock();
  ~InstanceLock();
  InstanceLock(InstanceLock&&) noexcept;
  InstanceLock& operator=(InstanceLock&&) noexcept;

  // Tries to take the lock called name (GBK, not empty): on Windows a mutex
  // name, on POSIX the path of a lock file (created when missing). Ok with
  // *alreadyRunning false: this object holds it now. Ok with *alreadyRunning
  // true: another holder has it (in this process or another). An error: the
  // lock could not be tried at all; where the lock itself is what is wrong,
  // *problem (when given) says what, in words ("it is owned by user alice
  // (uid 1000), not by the agent's user _tavin (uid 999)"; on Windows a
  // mutex of that name that the agent's user may not take).
  SysStatus acquire(const std::string& name, bool* alreadyRunning,
                    std::string* problem = nullptr);
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
