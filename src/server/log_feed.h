// Where the heartbeat's log push takes its lines from: batches of the
// monitored programs' new system-log lines, each read on from where the last
// one ended, and positions to go back to, so that lines that never reached a
// console are read again for the next one. A feed may also keep a position
// across restarts of the agent: where the lines no console's host has
// acknowledged begin.
//
// The shell implements it over the configuration's program list; tests use
// their own. Heartbeat thread only.
#pragma once

#include <any>
#include <cstddef>
#include <string>
#include <vector>

namespace tavin {

struct LogBatch {
  std::string text;    // the entries, as one log message carries them
  size_t program = 0;  // the program they come from (0: program 1)
  int lines = 0;       // how many entries text holds
  std::any before;     // the feed's position before the batch was read
  std::any after;      // and after it
};

class LogFeed {
 public:
  virtual ~LogFeed() = default;
  // Appends the next batches (program 1's lines before program 2's) to out,
  // each text at most maxTextBytes, until their texts together reach budget
  // bytes or no program has a new line. False when it appended none.
  virtual bool read(std::vector<LogBatch>* out, size_t maxTextBytes, size_t budget) = 0;
  // Goes back to a position: the batches read since then come again.
  virtual void rewind(const std::any& position) = 0;
  // Keeps position (one the feed gave) for the next start of the agent,
  // which reads on from there; an empty position keeps the last one again
  // (the agent is stopping: when a console was last read for is news). A
  // feed that keeps nothing ignores it.
  virtual void save(const std::any& position) { (void)position; }
};

}  // namespace tavin
