// The front-end of an agent without a window or terminal: every history line
// that the window would show is printed to standard output in UTF-8, one per
// line, so a service manager's journal gets it as it happens.
//
// HistoryLog hands each line over under its lock, so the hand-over never
// waits for the output: the lines go through a queue bounded in bytes to a
// writer thread of the front-end's own. When the reader does not keep up (a
// stuck log collector, a pager left open) and the queue is full, further
// lines are dropped from standard output only (the log file keeps them all)
// until the writer has caught up; then one line, stamped with the time of the
// first line dropped, says how many:
//   2026-03-09 07:05:02 Standard output not read, 42 lines dropped here (the log file has them)
// Control bytes of a line (a console's bytes in an error line) are printed in
// caret notation (SOH as ^A), never raw.
//
// At destruction the writer prints what is still queued if the output takes
// it within kExitGraceMs; a writer still blocked then is left behind, so a
// stalled reader never holds up the agent's exit.
//
// Created and destroyed by the program's entry; appendLine from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "config/history_log.h"

namespace tavin {

class HeadlessFrontend : public HistoryView {
 public:
  // The most bytes of lines (as the history gives them) that wait for the
  // output.
  static constexpr size_t kQueueLimitBytes = 256 * 1024;
  // How long the exit waits for the queued lines to be printed.
  static constexpr int kExitGraceMs = 500;

  // Writes bytes to the output, waiting while it does not take them; false
  // once the output is gone (then nothing more is printed).
  using Output = std::function<bool(const std::string& bytes)>;

  // An empty output is the process's standard output.
  explicit HeadlessFrontend(Output output = Output(), size_t queueLimitBytes = kQueueLimitBytes);
  ~HeadlessFrontend() override;
  HeadlessFrontend(const HeadlessFrontend&) = delete;
  HeadlessFrontend& operator=(const HeadlessFrontend&) = delete;

  // Printed lines cannot be taken back; the view's clearing does nothing here.
  void clearLines() override {}
  // Queues the line, or drops it when the queue is full; never waits.
  void appendLine(const std::string& line) override;

 private:
  // Shared with the writer thread, which may outlive the front-end.
  struct Writer;
  std::shared_ptr<Writer> writer_;
  std::thread thread_;
};

}  // namespace tavin
