// The front-end of an agent without a window or terminal: every history line
// that the window would show is printed to standard output in UTF-8, one per
// line, flushed at once, so a service manager's journal gets it as it happens.
#pragma once

#include <cstdio>

#include "config/history_log.h"

namespace tavin {

class HeadlessFrontend : public HistoryView {
 public:
  explicit HeadlessFrontend(std::FILE* out = stdout) : out_(out) {}

  // Printed lines cannot be taken back; the view's clearing does nothing here.
  void clearLines() override {}
  // Called in line order under the history's lock: a short blocking write.
  void appendLine(const std::string& line) override;

 private:
  std::FILE* out_;
};

}  // namespace tavin
