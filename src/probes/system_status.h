// Host metrics for the status response: CPU, commit charge and disk usage as
// integer percentages, the host's local time as text, and the agent's root
// directory.
//
// SystemStatus keeps the CPU counters of the previous sample, so each CPU
// figure is the average over the interval since the previous call (all
// consoles share that one interval). One instance per process, owned by
// whoever answers status requests; it reads the host through a HostCounters
// it does not own. Any thread; the sample is guarded.
#pragma once

#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/host_counters.h"

namespace tavin {

class SystemStatus {
 public:
  explicit SystemStatus(const platform::HostCounters& counters) : counters_(counters) {}

  // Percent of CPU time spent busy since the previous call; the first call
  // gives the average since the host started. 0 when the counters cannot be
  // read or no time has passed.
  int getCpuUsage();

  // Percent of the commit charge in use (memory plus page file or swap, not
  // physical memory alone). 0 when it cannot be read or the total is 0.
  int memoryUsagePercent() const;

  // Percent of used space on the volume holding path. 0 when it cannot be
  // read or the volume's size is 0.
  int getDiskUsage(const std::string& path) const;

 private:
  const platform::HostCounters& counters_;
  std::mutex mu_;
  // Guarded by mu_: the counters of the previous sample; all 0 before the first.
  platform::CpuTimes previous_;
};

// part * 100 / total, truncated; 0 for a total of 0, 100 at most.
int percentOf(uint64_t part, uint64_t total);

// The parent of the given working directory, ending in its separator
// ("C:\Agents\Probe" and "C:\Agents\Probe\" both give "C:\Agents\");
// empty for a text shorter than six bytes. GBK two-byte characters whose
// second byte equals the separator are stepped over.
std::string rootDirectoryOf(const std::string& workingDirectory, char separator);

// The agent's root directory, taken from the current directory when built.
class HostInformation {
 public:
  HostInformation() : root_(rootDirectory()) {}

  // Computed afresh from the current directory at every call.
  static std::string rootDirectory();

  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

// The host time text and the root directory, as the status response and the
// diagnostics use them.
class HostControl {
 public:
  HostControl() : rootDirectory_(HostInformation().root()) {}

  // The local time as "YYYY-MM-DD hh:mm:ss " (20 characters; the trailing
  // blank is part of the value on the wire).
  static std::string hostTime(const platform::Clock& clock);

  const std::string& rootDirectory() const { return rootDirectory_; }

 private:
  std::string rootDirectory_;
};

}  // namespace tavin
