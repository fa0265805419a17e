// The host's raw counters: aggregated CPU times, commit charge and volume
// space, as the operating system reports them. The probes turn them into
// percentages; tests pass a fake HostCounters instead of the system's.
//
// HostCounters::system() is a process-wide object without state of its own;
// any thread may call it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sys_status.h"

namespace platform {

// CPU times summed over every processor since the host started, in 100 ns
// units. kernel includes idle, as the Windows counters do: busy time is
// kernel + user - idle.
struct CpuTimes {
  uint64_t idle = 0;
  uint64_t kernel = 0;
  uint64_t user = 0;
};

// The commit charge: how much memory the host can promise (physical memory
// plus page file or swap) and how much of it is still free, in bytes.
struct CommitCharge {
  uint64_t total = 0;
  uint64_t available = 0;
};

// The size of a volume and its free bytes (all of them, not only those the
// caller may use).
struct VolumeSpace {
  uint64_t total = 0;
  uint64_t free = 0;
};

class HostCounters {
 public:
  virtual ~HostCounters() = default;

  virtual SysStatus cpuTimes(CpuTimes* out) const = 0;
  virtual SysStatus commitCharge(CommitCharge* out) const = 0;
  // The volume that holds path (a directory, with or without a trailing
  // separator); an empty path means the current directory.
  virtual SysStatus volumeSpace(const std::string& path, VolumeSpace* out) const = 0;

  static const HostCounters& system();
};

}  // namespace platform
