// One monitored order-reporting program: its status record (the Qex part),
// the paths of its files, its configured trading units (operators) with their
// records, the reader of its status file and the reader of its system log.
//
// Built by the configuration load, one per program, program 1 first, also for
// a program that is not monitored. Two threads use it afterwards, on disjoint
// members and without a lock: the processor thread runs refresh (record,
// working copies, trading units) and reads the records; the heartbeat thread
// runs readNewSysLog (the log reader only) and asks isEnabled. Everything the
// heartbeat side reads besides the log reader is fixed at construction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/records.h"
#include "platform/clock.h"
#include "platform/process_list.h"
#include "probes/qex_status_file.h"
#include "probes/system_log_reader.h"

namespace tavin {

// What the configuration hands to a program's communicator. Paths are full
// (joined to the working directory) and native; sysLogDir ends in a separator.
struct ProgramFiles {
  std::string exist;          // "Y" when the program is monitored, else "N"
  std::string name;           // "监控程序1" or "监控程序2"
  std::string workDir;        // the agent's working directory with a separator
  std::string configFile;     // the program's SystemConfiguration.ini
  std::string startFileName;  // the executable name exactly as configured
  std::string startFile;      // the executable's full path
  std::string statusFile;
  std::string cmdFile;
  std::string cmdResFile;
  std::string sysLogDir;
};

class QexCommunicator : public Qex {
 public:
  // Reads the operators of the program's configuration file: "OperCode" of
  // sections oper1..operN, N = "OperatorCounts" of "System" (bounded by
  // kMaxOperatorSections); codes of exactly 11 bytes become trading units.
  // A missing file gives none. Raises AppError when the file exists but
  // cannot be read.
  QexCommunicator(const ProgramFiles& files, const platform::Clock& clock,
                  const platform::ProcessSource& processes);

  // Processor thread: the process check and the status file, into the record
  // and the trading units. Raises what parseStatus raises. The process check
  // looks at the given process list (one list serves every program of a
  // status request), or at one of its own when there is none; a null list
  // stands for one that could not be read.
  void refresh();
  void refresh(const std::vector<platform::ProcessInfo>* processes);
  // Processor thread: curStatus := running or stopped, from the process list.
  void checkProcess();
  void checkProcess(const std::vector<platform::ProcessInfo>* processes);
  // Heartbeat thread: the next batch of new system log lines (SystemLogReader).
  bool readNewSysLog(std::string& out, size_t maxBytes = SIZE_MAX, int* lines = nullptr) {
    return logReader_.readNewSysLog(out, maxBytes, lines);
  }
  // Heartbeat thread: the next batches, up to budget bytes (SystemLogReader).
  bool readSysLogBatches(std::vector<SystemLogReader::Batch>* out, size_t maxBytes,
                         size_t budget) {
    return logReader_.readBatches(out, maxBytes, budget);
  }
  // Heartbeat thread: puts the log reader back where it stood.
  void rewindSysLog(const SystemLogReader::Position& position) { logReader_.restore(position); }
  // Before the log is first read: takes up a place kept from an earlier run
  // (SystemLogReader::resume).
  SystemLogReader::Resumed resumeSysLog(const SystemLogReader::Mark& mark, const std::string& file,
                                        bool keptUp) {
    return logReader_.resume(mark, file, keptUp);
  }

  // Whether the program is monitored (exist flag "Y"); fixed at construction.
  bool isEnabled() const { return enabled_; }

  const std::vector<Pbu>& getPbus() const { return pbus_; }
  int32_t getPbuCount() const { return pbuCount_; }
  const std::string& getCurStatus() const { return curStatus_; }
  const ProgramFiles& getFiles() const { return files_; }
  const SystemLogReader& getLogReader() const { return logReader_; }

 private:
  const ProgramFiles files_;
  const bool enabled_;
  const platform::ProcessSource& processes_;

  // Processor thread only.
  std::string curName_;
  std::string curType_;
  std::string curStatus_;
  std::string curVersion_;
  std::string curWarning_;
  std::vector<Pbu> pbus_;
  int32_t pbuCount_ = 0;
  QexStatusFile statusReader_;

  // Heartbeat thread only.
  SystemLogReader logReader_;
};

}  // namespace tavin
