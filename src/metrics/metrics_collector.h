// Gathers every figure the metrics endpoint exposes and writes them as one
// Prometheus text: the host's figures and the program and trading-unit
// records (refreshed as a status request refreshes them), the agent's
// counters, and the system-log push's lag.
//
// Owned by the shell, beside the status request's context. collect() runs on
// the processor thread only, where the records are refreshed and read; the
// counters it reads are any-thread values. The collector measures CPU with a
// sampler of its own, so a scrape never changes the interval the console's
// status answer reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "handlers/status_context.h"
#include "platform/host_counters.h"
#include "probes/system_status.h"

namespace tavin {

// The agent's own counters, which live in the server, the history log and
// the metrics endpoint. Any thread.
class AgentCounters {
 public:
  virtual ~AgentCounters() = default;
  virtual uint64_t messagesReceived() const = 0;
  virtual uint64_t messagesSent() const = 0;
  virtual bool consoleConnected() const = 0;
  virtual uint64_t consoleRefused() const = 0;
  virtual uint64_t metricsRefused() const = 0;
  // System-log lines pushed to a console, per program (0: program 1).
  virtual uint64_t pushedLines(size_t program) const = 0;
  virtual uint64_t historyWriteFailures() const = 0;
};

class MetricsCollector {
 public:
  // startSeconds: the agent's start, in seconds since the epoch. Everything
  // referenced must outlive the collector.
  MetricsCollector(StatusContext& status, const platform::HostCounters& host,
                   const AgentCounters& counters, double startSeconds);

  // The whole exposition text. Processor thread only.
  std::string collect();

 private:
  StatusContext& status_;
  SystemStatus sampler_;
  const AgentCounters& counters_;
  const double startSeconds_;
};

// Bytes of a program's current system-log file that the push has not read
// yet: the file's size minus the read position; 0 without a file.
int64_t unreadLogBytes(const SystemLogReader& reader);

}  // namespace tavin
