// Reads on in a monitored program's daily system log ("system<yyyymmdd>.log"
// in the program's log directory) from where the previous call stopped, and
// hands out the new lines in batches for the heartbeat's log push.
//
// A new day's file (and the first file read) starts behind its last
// separator line (20 or more "-"), so a console sees only the current run's
// lines. Lines are read as fgets would with a 1024-byte buffer: a longer
// line comes in pieces of 1023 bytes, each counted and numbered as a line.
// No line is lost to a change of file: the rest of the day before's file is
// read before the new day's, and a file that is truncated or replaced under
// the reader is read again from its first line.
//
// Owned by the program's QexCommunicator; used on the heartbeat thread only.
// The file is opened, read and closed within each call, shared for reading,
// writing and deleting, so the program that writes it is never blocked.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"

namespace tavin {

class SystemLogReader {
 public:
  // At most this many lines per call.
  static constexpr int kBatchLines = 20;

  // programName starts every entry; logDir ends in a path separator.
  SystemLogReader(std::string programName, std::string logDir, const platform::Clock& clock);

  // Sets out to the next new lines, each "<program> <line number> <line>"
  // followed by 0x02, and returns true; or sets it to "文件不存在" (no file
  // for today), "文件指针非法" (the stored position cannot be used) or
  // "没有新纪录" (nothing new) and returns false. Separator lines are counted
  // but not sent.
  bool readNewSysLog(std::string& out);

  const std::string& getFile() const { return file_; }
  const std::string& getDate() const { return date_; }
  int64_t getPosition() const { return position_; }
  int64_t getLine() const { return line_; }

  // A line whose first 20 bytes are all "-".
  static bool isSeparator(const std::string& line);

 private:
  enum class Step { kLines, kMissing, kBadPosition, kNothing };

  // Appends the next lines of file_ to out.
  Step readStep(std::string& out);

  const std::string programName_;
  const std::string logDir_;
  const platform::Clock& clock_;

  std::string file_;       // the file being read
  std::string date_;       // the day file_ belongs to, as yyyymmdd
  int64_t position_ = 0;   // byte offset of the next unread line
  int64_t line_ = 0;       // number of the last line consumed (the first is 1)
  bool fromTop_ = false;   // file_ is read from its first line, without the scan
  bool known_ = false;     // fileState_ holds file_'s identity
  platform::FileState fileState_;
};

}  // namespace tavin
