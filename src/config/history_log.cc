#include "config/history_log.h"

#include <cstdio>
#include <utility>

namespace tavin {
namespace {

constexpr size_t kDateLength = 10;  // "yyyy-mm-dd"

std::string timestampOf(const platform::LocalTime& t) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%2.2d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d ", t.year, t.month,
                t.day, t.hour, t.minute, t.second);
  return buffer;
}

}  // namespace

void MemoryHistoryView::clearLines() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}

void MemoryHistoryView::appendLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.push_back(line);
}

std::vector<std::string> MemoryHistoryView::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

HistoryLog::HistoryLog(std::string logFileName, const platform::Clock& clock, HistoryView* view)
    : logFileName_(std::move(logFileName)),
      clock_(clock),
      folder_(platform::NotedDirectory::note(
          logFileName_.substr(0, platform::fileNameOffset(logFileName_)))),
      view_(view) {}

void HistoryLog::setView(HistoryView* view) {
  std::lock_guard<std::mutex> lock(mu_);
  view_ = view;
}

void HistoryLog::clearView() {
  std::lock_guard<std::mutex> lock(mu_);
  if (view_ != nullptr) view_->clearLines();
  viewLines_ = 0;
}

std::string HistoryLog::HistoryTimestamp() const { return timestampOf(clock_.localTime()); }

std::string HistoryLog::dailyFileName(const std::string& logFileName,
                                      const std::string& timestamp) {
  // The date goes into the file name part only: a "." in a directory name
  // must not move the file into another folder.
  const size_t nameStart = platform::fileNameOffset(logFileName);
  size_t dot = logFileName.rfind('.');
  if (dot == std::string::npos || dot < nameStart) dot = nameStart;
  return logFileName.substr(0, dot) + "_" + timestamp.substr(0, kDateLength) +
         logFileName.substr(dot);
}

void HistoryLog::WriteHistory(const std::string& text, bool showInView) {
  std::lock_guard<std::mutex> lock(mu_);
  if (viewLines_ > kViewLineLimit) {
    if (view_ != nullptr) view_->clearLines();
    viewLines_ = 0;
  }
  // One reading of the clock stamps the line and picks its file, so a line
  // written at midnight lands in the file of the date it carries.
  const std::string timestamp = HistoryTimestamp();
  std::string line = timestamp + text;
  if (showInView) {
    if (view_ != nullptr) view_->appendLine(line);
    ++viewLines_;
  }
  line += "\r\n";
  // A line that cannot be written (a missing directory, a file locked by
  // another program) is lost for the file; the view still has it.
  const std::string fileName = dailyFileName(logFileName_, timestamp);
  const platform::SysStatus status = platform::appendInDirectory(
      folder_, fileName.substr(platform::fileNameOffset(logFileName_)), line);
  if (!status.isOk()) ++writeFailures_;
  // Written through, the link would have put the agent's lines (and a file
  // of its user's) wherever its maker chose.
  if (platform::isLinkRefusal(status) && !linkReported_ && view_ != nullptr) {
    view_->appendLine(timestamp + "History not written to " + fileName +
                      ": a link leads elsewhere (the log folder or the file was replaced)");
    ++viewLines_;
  }
  linkReported_ = platform::isLinkRefusal(status);
}

}  // namespace tavin
