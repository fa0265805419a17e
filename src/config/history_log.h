// The history log: every event of the agent as one line "yyyy-mm-dd hh:mm:ss
// <text>", appended to the day's log file and, for most lines, shown in the
// front-end's history view.
//
// The day's file is the configured log file name with "_yyyy-mm-dd" put
// before the extension of its file name part (logs/TavinMonitorAgent.log
// becomes logs/TavinMonitorAgent_2026-03-09.log; a name without "." gets it
// in front: logs/agentlog becomes logs/_2026-03-09agentlog). Each line is
// opened, appended with CR LF and closed, GBK bytes as they are; a line that
// cannot be written is lost for the file, silently.
//
// The log folder is noted as it is at construction: a link put in its place
// later, or a link at the day's file, is not written through (the lines are
// lost for the file and counted, and the view is told once, until lines
// can be written again). A log folder that is a link at construction (the
// configured layout) may stay one as long as it leads to the same folder.
//
// The view holds at most 501 lines: the call after the 501st empties it
// before it writes. HistoryLog counts the view's lines itself. The lines
// that could not be written to the file are counted (any thread may read the
// count).
//
// Any thread: WriteHistory is serialised by one mutex, so lines never
// interleave and each thread's lines keep their order, in the file and in
// the view alike.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "config/history.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace tavin {

// Where the shown lines go: the window's history box, or stdout when
// headless. HistoryLog calls it with its lock held and in line order; an
// implementation must return at once (a front-end posts the change to its own
// thread) and must not write history itself.
class HistoryView {
 public:
  virtual ~HistoryView() = default;
  virtual void clearLines() = 0;
  virtual void appendLine(const std::string& line) = 0;
};

// A view that keeps its lines in memory (tests, and front-ends that show
// nothing). Any thread.
class MemoryHistoryView : public HistoryView {
 public:
  void clearLines() override;
  void appendLine(const std::string& line) override;
  std::vector<std::string> lines() const;

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;  // guarded by mu_
};

class HistoryLog : public History {
 public:
  // The view limit: more lines than this empty the view on the next call.
  static constexpr size_t kViewLineLimit = 500;

  // logFileName is the configured log file name (a relative one is taken from
  // the process's current directory). The view may be null; both must
  // outlive the log.
  HistoryLog(std::string logFileName, const platform::Clock& clock, HistoryView* view = nullptr);

  // Attaches (or, with null, detaches) the view. Any thread.
  void setView(HistoryView* view);
  // Empties the view and restarts its line count. Any thread.
  void clearView();

  // The current local time as "yyyy-mm-dd hh:mm:ss " (with the blank).
  std::string HistoryTimestamp() const;
  void WriteHistory(const std::string& text, bool showInView) override;

  const std::string& logFileName() const { return logFileName_; }
  // Lines that could not be appended to the day's file since the start.
  uint64_t writeFailures() const { return writeFailures_; }
  // The day's file for a line stamped with timestamp.
  static std::string dailyFileName(const std::string& logFileName, const std::string& timestamp);

 private:
  const std::string logFileName_;
  const platform::Clock& clock_;
  const platform::NotedDirectory folder_;

  std::mutex mu_;
  // Guarded by mu_.
  HistoryView* view_;
  size_t viewLines_ = 0;
  bool linkReported_ = false;  // the view was told the file is behind a link

  std::atomic<uint64_t> writeFailures_{0};
};

}  // namespace tavin
