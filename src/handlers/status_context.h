// What a status request needs to answer: the configuration with the monitored
// programs, the host metrics and the clock. Owned by the shell, which builds
// it before the processor thread starts and keeps it until that thread ends.
#pragma once

#include <functional>

#include "config/agent_config.h"
#include "platform/clock.h"
#include "probes/system_status.h"

namespace tavin {

struct StatusContext {
  AgentConfig& config;
  SystemStatus& systemStatus;
  const platform::Clock& clock;
  // Waits the given milliseconds before the refresh is retried, ending early
  // when the thread running the request is stopped; tests pass one that does
  // not sleep.
  std::function<void(int)> pause;
};

}  // namespace tavin
