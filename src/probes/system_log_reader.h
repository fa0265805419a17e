// Reads on in a monitored program's daily system log ("system<yyyymmdd>.log"
// in the program's log directory) from where the previous call stopped, and
// hands out the new lines in batches for the heartbeat's log push.
//
// A new day's file (and the first file read) starts behind its last
// separator line (20 or more "-"), so a console sees only the current run's
// lines. Lines are read as fgets would with a 1024-byte buffer: a longer
// line comes in pieces of 1023 bytes, each counted and numbered as a line.
//
// At a change of day the rest of the day before's file is read first when
// the reader was keeping up with it (called within the last few minutes, so
// a console was connected and reading): lines written just before midnight
// are not lost. A reader that was idle (no console overnight) goes straight
// to the new day's file, so a console that comes back in the morning gets
// today's lines, not hours of yesterday's. The day never goes back: a clock
// set back across midnight keeps the reader on its file instead of sending
// an earlier day's file again. A file that is truncated or replaced under
// the reader is read again from its first line.
//
// A batch can be taken back: state() before a call and restore() after it
// make the reader hand out the same lines again, for a batch that never
// reached a console.
//
// Owned by the program's QexCommunicator; used on the heartbeat thread only,
// except progress(), which any thread may call. The file is opened, read and
// closed within each call, shared for reading, writing and deleting, so the
// program that writes it is never blocked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"

namespace tavin {

class SystemLogReader {
 public:
  // At most this many lines per call.
  static constexpr int kBatchLines = 20;
  // How recent the last call must be at a change of day for the rest of the
  // day before's file to be read.
  static constexpr int64_t kKeepUpSeconds = 5 * 60;

  // Where the reader stands; a value to take a batch back with.
  struct State {
    std::string file;
    std::string date;
    int64_t position = 0;
    int64_t line = 0;
    bool fromTop = false;
    bool known = false;
    platform::FileState fileState;
    int64_t lastCallSeconds = -1;  // local seconds of the last call; -1 before the first
  };

  // The current file and how far it has been read. Any thread.
  struct Progress {
    std::string file;
    int64_t position = 0;
  };

  // programName starts every entry; logDir ends in a path separator.
  SystemLogReader(std::string programName, std::string logDir, const platform::Clock& clock);

  // Sets out to the next new lines, each "<program> <line number> <line>"
  // followed by 0x02, and returns true; or sets it to "文件不存在" (no file
  // for today), "文件指针非法" (the stored position cannot be used) or
  // "没有新纪录" (nothing new) and returns false. Separator lines are counted
  // but not sent. The batch ends early rather than let out pass maxBytes;
  // its first entry is always taken (one entry is at most 1023 bytes of line
  // and its label). *lines, when given, receives the number of entries.
  bool readNewSysLog(std::string& out, size_t maxBytes = SIZE_MAX, int* lines = nullptr);

  State state() const { return state_; }
  void restore(const State& state);
  Progress progress() const;

  const std::string& getFile() const { return state_.file; }
  const std::string& getDate() const { return state_.date; }
  int64_t getPosition() const { return state_.position; }
  int64_t getLine() const { return state_.line; }

  // A line whose first 20 bytes are all "-".
  static bool isSeparator(const std::string& line);

 private:
  enum class Step { kLines, kMissing, kBadPosition, kNothing };

  // Appends the next lines of the current file to out, within maxBytes.
  Step readStep(std::string& out, size_t maxBytes, int* lines);
  void switchTo(const std::string& date);
  void publish();

  const std::string programName_;
  const std::string logDir_;
  const platform::Clock& clock_;

  // state_.file is the file being read, state_.date the day it belongs to
  // (yyyymmdd), state_.position the byte offset of the next unread line and
  // state_.line the number of the last line consumed (the first is 1);
  // fromTop: the file is read from its first line, without the separator
  // scan; known: fileState holds the file's identity.
  State state_;

  mutable std::mutex progressMu_;
  Progress progress_;  // guarded by progressMu_
};

}  // namespace tavin
