// What a status request needs to answer: the configuration with the monitored
// programs, the host metrics and the clock. Owned by the shell, which builds
// it before the processor thread starts and keeps it until that thread ends.
#pragma once

#include <functional>
#include <string>

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

// The host's figures of one status request.
struct HostFigures {
  std::string hostTime;
  int cpuUsage = 0;
  int memoryUsage = 0;
  int diskUsage = 0;
  std::string envNo;
};

// What every status request does before it writes its answer, and a metrics
// scrape the same way: takes the host's figures, CPU from the given sampler
// (each sampler measures the interval since its own previous call), then
// refreshes both programs' records, retrying once after 500 ms. Processor
// thread only: the records are refreshed and read there.
HostFigures refreshStatus(StatusContext& context, SystemStatus& sampler);

}  // namespace tavin
