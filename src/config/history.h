// The history of events: one timestamped line per event, appended to the
// day's log file and, for most lines, shown in the front-end's history view.
//
// This is the interface the server, the processor and the heartbeat write
// to; HistoryLog is the real one, tests use their own. Any thread.
#pragma once

#include <string>

namespace tavin {

class History {
 public:
  virtual ~History() = default;

  // One history line with the current timestamp: always to the day's log
  // file, and to the history view when showInView.
  virtual void WriteHistory(const std::string& text, bool showInView) = 0;

  void LogEvent(const std::string& text) { WriteHistory(text, true); }
};

}  // namespace tavin
