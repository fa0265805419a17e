// What a trouble-shooting request needs to run its checks: the configuration
// (the agent's ini file, the programs' flags and configuration files) and the
// seams tests replace. Owned by the shell, which builds it before the
// processor thread starts and keeps it until that thread ends.
#pragma once

#include <functional>
#include <string>

#include "config/agent_config.h"
#include "probes/trouble_shooting.h"

namespace tavin {

struct TroubleShootingContext {
  const AgentConfig& config;
  // The connection test of "CheckCS"; empty: the platform's, time-limited
  // and ended by a stop of the thread that runs the request.
  LinkProbe probe;
  // The directory the file check looks in; empty: the process's current
  // directory at the time of the check.
  std::function<std::string()> currentDirectory;
};

}  // namespace tavin
