// The agent's configuration: what it reads at start-up from its own ini file
// (port, access list, log file, verbose logging, the two monitored programs'
// flags and files) and the environment number from the host's system
// configuration file. It owns the two monitored programs' communicators and
// offers the operations over both that the status request and the heartbeat's
// log push need.
//
// Built and loaded once during start-up, before any worker thread runs; then
// its settings are only read (any thread). The program list operations split
// by thread: refreshStatus, getQexPackage and getPbuPackage on the processor
// thread, getNewSysLog on the heartbeat thread; they touch disjoint state of
// the communicators (see QexCommunicator), so no lock is needed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "codec/errors.h"
#include "config/metrics_settings.h"
#include "platform/clock.h"
#include "platform/process_list.h"
#include "probes/qex_communicator.h"

namespace tavin {

// A load that cannot complete; the message is the whole text the user sees.
// logFile is the configured log file name when the load got as far as
// making its folder, so that the history can take the message too; empty
// otherwise.
class StartupError : public AppError {
 public:
  explicit StartupError(std::string message, std::string logFile = {})
      : AppError(std::move(message)), logFile_(std::move(logFile)) {}
  const std::string& logFile() const { return logFile_; }

 private:
  std::string logFile_;
};

class AgentConfig {
 public:
  // The ini file is executablePath with its extension replaced by ".ini";
  // relative paths of the configuration are taken from currentDirectory. The
  // clock and the process source must outlive the configuration.
  AgentConfig(std::string executablePath, std::string currentDirectory,
              const platform::Clock& clock, const platform::ProcessSource& processes);
  AgentConfig(const AgentConfig&) = delete;
  AgentConfig& operator=(const AgentConfig&) = delete;

  // The process-wide instance for the shell, built from the running
  // executable, the current directory and the system clock and process list,
  // and loaded on the first call (a failed load raises, and the next call
  // tries again). Nothing below the shell calls it.
  static AgentConfig& getInstance();

  // Loads (or reloads) everything from the files; true, or raises
  // StartupError with the message for the user. After a failure the access
  // list and the program list are empty.
  bool load();

  int32_t getPort() const { return port_; }
  const std::string& getLogFile() const { return logFile_; }
  bool isDebug() const { return debug_; }
  const std::string& getEnvNo() const { return envNo_; }
  const std::string& getWorkDir() const { return workDir_; }
  const std::string& getMonitor1Flag() const { return monitor1Flag_; }
  const std::string& getMonitor2Flag() const { return monitor2Flag_; }
  const std::string& getMonitor1ConfigFile() const { return program1_.configFile; }
  const std::string& getMonitor2ConfigFile() const { return program2_.configFile; }
  const std::string& getIniFile() const { return iniFile_; }
  const std::string& getExecutablePath() const { return executablePath_; }
  const std::vector<std::string>& getAccessList() const { return accessList_; }
  // The metrics endpoint's settings.
  const MetricsSettings& getMetrics() const { return metrics_; }
  // Lines for the history, one per ini value the load ignored.
  const std::vector<std::string>& getIgnoredValues() const { return ignoredValues_; }

  // True when address equals an access-list entry byte for byte (the peer's
  // dotted address; no normalisation).
  bool isAllowedAddress(const std::string& address) const;
  // Milliseconds since the epoch, from the configuration's clock. Any thread.
  double nowMillis() const { return clock_.nowMillis(); }

  // Processor thread: refreshes program 1, then program 2. An error ends the
  // loop and reaches the caller.
  void refreshStatus();
  // Processor thread: the program records, program 1 first, back to back.
  std::string getQexPackage() const;
  // Processor thread: every trading-unit record, program 1's first, each
  // program's in configured order, back to back.
  std::string getPbuPackage() const;
  // Heartbeat thread: the next batch of new system log lines of the first
  // monitored program that has any (program 1 is drained before program 2).
  // False, with out empty, when neither has new lines.
  bool getNewSysLog(std::string& out);
  // Where every program's log reader stands (program 1's first).
  using SysLogPosition = std::vector<SystemLogReader::Position>;
  // A batch of one program's new system-log lines, with where every
  // program's reader stood before and after it was read.
  struct SysLogBatch {
    std::string text;
    size_t program = 0;  // the index of the program the lines come from
    int lines = 0;
    SysLogPosition before;  // a position for rewindSysLog
    SysLogPosition after;
  };
  // Heartbeat thread: appends batches of new lines, each within maxBytes of
  // text, program 1's before program 2's, until their texts together reach
  // budget bytes or neither program has a new line. False when none.
  bool readSysLog(std::vector<SysLogBatch>* out, size_t maxBytes, size_t budget);
  // Heartbeat thread: where every program's log reader stands, and going
  // back there, so that lines that never reached a console are read again.
  SysLogPosition sysLogPosition() const;
  void rewindSysLog(const SysLogPosition& position);
  // Start-up, before the log push runs: program's log reader takes up a
  // place kept from an earlier run (SystemLogReader::resume).
  SystemLogReader::Resumed resumeSysLog(size_t program, const SystemLogReader::Mark& mark,
                                        const std::string& file, bool keptUp);

  // The monitored programs, program 1 first: two after a successful load.
  size_t communicatorCount() const { return communicators_.size(); }
  const QexCommunicator& communicator(size_t index) const { return *communicators_.at(index); }

  // The access-list form of a dotted address: four integers without leading
  // zeros joined by "."; "IP地址有误" when value is not four "."-separated
  // integers. No range check (010.001.2.300 gives 10.1.2.300).
  static std::string normaliseAddress(const std::string& value);

 private:
  const std::string executablePath_;
  const std::string currentDirectory_;
  const std::string iniFile_;
  const platform::Clock& clock_;
  const platform::ProcessSource& processes_;

  std::string logFile_;
  std::string envNo_;
  std::string monitor1Flag_;
  std::string monitor2Flag_;
  std::string workDir_;
  int32_t port_ = 0;
  std::vector<std::string> accessList_;
  MetricsSettings metrics_;
  std::vector<std::string> ignoredValues_;
  ProgramFiles program1_;
  ProgramFiles program2_;
  std::vector<std::unique_ptr<QexCommunicator>> communicators_;
  bool debug_ = false;
};

}  // namespace tavin
