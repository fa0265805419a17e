// Reads on in a monitored program's daily system log ("system<yyyymmdd>.log"
// in the program's log directory) from where the previous call stopped, and
// hands out the new lines in batches for the heartbeat's log push.
//
// A new day's file (and the first file read) starts behind its last
// separator line (20 or more "-"), so a console sees only the current run's
// lines. Lines are read as fgets would with a 1024-byte buffer: a longer
// line comes in pieces of 1023 bytes, each counted and numbered as a line.
// A batch is at most 20 such lines (separators included, which are counted
// but not sent) and at most a given size; one call may hand out many
// batches, read from one opening of the file in large blocks.
//
// At a change of day the rest of the day before's file is read first when
// the reader was keeping up with it (called within the last few minutes of
// real time, so a console was connected and reading): lines written just
// before midnight are not lost. A reader that was idle (no console
// overnight) goes straight to the new day's file, so a console that comes
// back in the morning gets today's lines, not hours of yesterday's.
//
// The host's clock may be set wrong and then right again. A day the reader
// leaves while keeping up with it, or leaves because the clock went back, is
// remembered where it stopped; when the clock comes to that day again (back
// from a jump ahead, or on from a jump back) the reader resumes it there, so
// no line is sent twice or skipped. A clock set back to a day that is not
// remembered keeps the reader on its file rather than send an earlier day's
// file again. A file that is truncated or replaced under the reader is read
// again from its first line.
//
// Batches can be taken back: each carries the reader's state before it, and
// restore() makes the reader hand out the same lines again, for a batch that
// never reached a console.
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
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"

namespace tavin {

class SystemLogReader {
 public:
  // At most this many lines per batch.
  static constexpr int kBatchLines = 20;
  // How recent (in real time) the last call must be at a change of day for
  // the rest of the day before's file to be read.
  static constexpr int64_t kKeepUpSeconds = 5 * 60;
  // Days remembered for a clock that comes back to them, at most.
  static constexpr size_t kRememberedDays = 4;

  // Where the reader stands in one day's file: file is the file being read,
  // date the day it belongs to (yyyymmdd), position the byte offset of the
  // next unread line and line the number of the last line consumed (the
  // first is 1); fromTop: the file is read from its first line, without the
  // separator scan; known: fileState holds the file's identity.
  struct Day {
    std::string file;
    std::string date;
    int64_t position = 0;
    int64_t line = 0;
    bool fromTop = false;
    bool known = false;
    platform::FileState fileState;
  };

  // Where the reader stands; a value to take batches back with.
  struct State : Day {
    std::vector<Day> otherDays;    // days left that a clock may come back to
    int64_t lastCallMillis = -1;   // steady time of the last call; -1 before the first
  };

  // One message's worth of new lines.
  struct Batch {
    std::string text;  // the entries
    int lines = 0;     // how many
    State before;      // the reader's state before they were read
  };

  // The current file and how far it has been read. Any thread.
  struct Progress {
    std::string file;
    int64_t position = 0;
    bool missing = false;  // the file could not be opened at the last call
  };

  // programName starts every entry; logDir ends in a path separator.
  SystemLogReader(std::string programName, std::string logDir, const platform::Clock& clock);

  // Sets out to the next new lines, each "<program> <line number> <line>"
  // followed by 0x02, and returns true; or sets it to "文件不存在" (no file
  // for today), "文件指针非法" (the stored position cannot be used) or
  // "没有新纪录" (nothing new) and returns false. The batch ends early rather
  // than let out pass maxBytes; its first entry is always taken (one entry is
  // at most 1023 bytes of line and its label). *lines, when given, receives
  // the number of entries.
  bool readNewSysLog(std::string& out, size_t maxBytes = SIZE_MAX, int* lines = nullptr);

  // Appends batches, each what one readNewSysLog call would give, until
  // their texts together reach budget bytes or no new line is left. False
  // when it appended none; then *why, when given, is readNewSysLog's text.
  bool readBatches(std::vector<Batch>* out, size_t maxBytes, size_t budget,
                   std::string* why = nullptr);

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

  // Appends batches of the current file's next lines.
  Step readFile(std::vector<Batch>* out, size_t maxBytes, size_t budget);
  // Makes date the current day: remembered where it stopped, or new. With
  // remember, the day left is remembered first.
  void switchTo(const std::string& date, bool remember);
  bool remembers(const std::string& date) const;
  void publish(bool missing);

  const std::string programName_;
  const std::string logDir_;
  const platform::Clock& clock_;
  State state_;

  mutable std::mutex progressMu_;
  Progress progress_;  // guarded by progressMu_
};

}  // namespace tavin
