// The heartbeat's log push reads the monitored programs' system logs
// through the configuration's program list; a position is where every
// program's reader stands (AgentConfig::SysLogPosition).
//
// It also keeps the console's read position across restarts of the agent,
// in the read position file (ReadPositionFile): save() writes where the
// lines no console's host has acknowledged begin, and resume(), at start-up,
// puts each monitored program's reader there, when that is today's file
// still (or the day before's, when a console was reading until a few
// minutes before); otherwise the reader starts behind the last separator of
// today's file. One history line per monitored program says which. A file
// that cannot be read, written or parsed never stops the agent.
//
// Built by Agent on the loop thread; resume() runs there before the
// heartbeat thread starts, everything else on the heartbeat thread (or on
// the loop once that thread has ended).
#pragma once

#include <any>
#include <cstddef>
#include <string>
#include <vector>

#include "config/agent_config.h"
#include "config/history.h"
#include "config/read_position_file.h"
#include "platform/clock.h"
#include "server/log_feed.h"

namespace tavin {

class ProgramLogFeed : public LogFeed {
 public:
  // The references must outlive the feed.
  ProgramLogFeed(AgentConfig& config, std::string stateFile, const platform::Clock& clock,
                 History& history);

  // Takes up the kept positions; returns the history lines, one per
  // monitored program.
  std::vector<std::string> resume();

  bool read(std::vector<LogBatch>* out, size_t maxTextBytes, size_t budget) override;
  void rewind(const std::any& position) override;
  void save(const std::any& position) override;

 private:
  std::string resumeProgram(size_t program, ReadPositionFile::Loaded loaded,
                            const std::string& why, const KeptPlaces& places, bool keptUp);

  AgentConfig& config_;
  const ReadPositionFile file_;
  const platform::Clock& clock_;
  History& history_;
  // The position written last, or taken up at start.
  AgentConfig::SysLogPosition kept_;
  // Wall time of the last read (a console was connected), in this run or,
  // before the first, as kept from the last.
  double readingMillis_ = -1;
  bool saveFailed_ = false;    // the last save failed, and its line was written
};

}  // namespace tavin
