// The processes running now, as the operating system reports them, and the
// ProcessSource seam through which portable code asks for them (tests pass a
// fake one). Names are GBK text. Any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/sys_status.h"

namespace platform {

struct ProcessInfo {
  std::string exeName;  // base name of the executable; empty where it cannot be read
  std::string argv0;    // base name of argv[0]; empty where the OS has none
};

// Every process the caller may see. On Windows a Toolhelp snapshot (no argv0);
// on Linux /proc, where the executable of another user's process may be
// unreadable (then only argv0 is known).
SysStatus listProcesses(std::vector<ProcessInfo>* out);

class ProcessSource {
 public:
  virtual ~ProcessSource() = default;
  virtual SysStatus listProcesses(std::vector<ProcessInfo>* out) const = 0;

  // The operating system's process list (platform::listProcesses).
  static ProcessSource& system();
};

// True when the base name of the process's executable or of its argv[0]
// equals name without regard to ASCII letter case. An empty name never
// matches.
bool processMatches(const ProcessInfo& process, const std::string& name);

}  // namespace platform
