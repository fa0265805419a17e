// Where the heartbeat's log push takes its lines from: batches of the
// monitored programs' new system-log lines, each read on from where the last
// one ended, and positions to go back to, so that lines that never reached a
// console are read again for the next one.
//
// The shell implements it over the configuration's program list; tests use
// their own. Heartbeat thread only.
#pragma once

#include <any>
#include <cstddef>
#include <string>

namespace tavin {

struct LogBatch {
  std::string text;    // the entries, as one log message carries them
  size_t program = 0;  // the program they come from (0: program 1)
  int lines = 0;       // how many entries text holds
};

class LogFeed {
 public:
  virtual ~LogFeed() = default;
  // The next batch (program 1's lines before program 2's) whose text takes at
  // most maxTextBytes; false when neither program has a new line.
  virtual bool next(LogBatch* batch, size_t maxTextBytes) = 0;
  // Where the feed stands now, as a value that only rewind reads.
  virtual std::any position() const = 0;
  // Goes back to a position: the batches read since then come again.
  virtual void rewind(const std::any& position) = 0;
};

}  // namespace tavin
