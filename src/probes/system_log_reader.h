// Reads on in a monitored program's daily system log ("system<yyyymmdd>.log"
// in the program's log directory) from where the previous call stopped, and
// hands out the new lines in batches for the heartbeat's log push.
//
// A new day's file (and the first file read) starts behind its last
// separator line (20 or more "-"), so a console sees only the current run's
// lines. That start point is decided once per file: a file already entered
// is never scanned again, whatever is taken back or resumed. Lines are read
// as fgets would with a 1024-byte buffer: a longer line comes in pieces of
// 1023 bytes, each counted and numbered as a line. A last line without its
// line end (the program is still writing it) is held back until its end is
// written, or until it has stayed unchanged for kUnfinishedLineMillis, so a
// line goes out whole under one number. A batch is at most 20 such lines
// (separators included, which are counted but not sent) and at most a given
// size; one call may hand out many batches, read from one opening of the
// file in large blocks.
//
// At a change of day the rest of the day before's file is read first when
// the reader was keeping up with it (called within the last few minutes of
// real time, so a console was connected and reading): lines written just
// before midnight are not lost. A reader that was idle (no console
// overnight) goes straight to the new day's file, so a console that comes
// back in the morning gets today's lines, not hours of yesterday's.
//
// The host's clock may be set wrong and then right again. Every day the
// reader leaves is remembered where it stopped (the last few); when the
// clock comes to that day again (back from a jump ahead, or on from a jump
// back) the reader resumes it there, so no line is sent twice or skipped. A
// clock set back to a day that is not remembered keeps the reader on its
// file rather than send an earlier day's file again. A file that is
// truncated or replaced under the reader is read again from its first line.
//
// Batches can be taken back: each carries the reader's Position before and
// after it, and restore() makes the reader hand out the same lines again,
// for a batch that never reached a console. A restore moves read positions
// only: the days remembered, the start points decided and the keep-up time
// stay as they are. A Position's current day, as a Mark, is also what the
// agent keeps on disk to resume from after a restart (resume()).
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
  // How long a last line without its line end stays held back while it
  // does not change; then it goes out as it is.
  static constexpr int64_t kUnfinishedLineMillis = 1000;

  // A place in one day's file: the byte offset of the next unread line and
  // the number of the last line consumed (the first is 1), in the file's
  // generation (one more each time the file is found truncated or replaced
  // and read again from its top). The file's identity and how it was
  // entered come along, for keeping the place across a restart.
  struct Mark {
    std::string date;  // yyyymmdd
    uint64_t generation = 0;
    int64_t position = 0;
    int64_t line = 0;
    bool behindSeparator = false;  // entered behind a separator, not at the top
    bool known = false;            // volume and index hold the file's identity
    uint64_t volume = 0;
    uint64_t index = 0;
  };

  // Where the reader stood: the day it was reading and the place of each
  // day it knew whose start point was decided.
  struct Position {
    std::string date;
    std::vector<Mark> days;

    // The mark of date; null when the position has none.
    const Mark* find(const std::string& date) const;
    // The mark of the day being read; null when its start point was not
    // decided yet.
    const Mark* current() const { return find(date); }
  };

  // One message's worth of new lines.
  struct Batch {
    std::string text;  // the entries
    int lines = 0;     // how many
    Position before;   // where the reader stood before they were read
    Position after;    // and after
  };

  // The current file and how far it has been read. Any thread.
  struct Progress {
    std::string file;
    int64_t position = 0;
    bool missing = false;  // the file could not be opened at the last call
  };

  // What resume() made of a kept place.
  enum class Resumed {
    kToday,         // reads on in today's file from there
    kDayBefore,     // reads the rest of an earlier day's file, then today's
    kOtherDay,      // a day that is not today (and nobody was keeping up)
    kOtherFile,     // kept for a file of another name
    kReplaced,      // the file of that name is another file now
    kShorter,       // the file is shorter than the place
    kMissing,       // the file cannot be opened
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

  // Where the reader stands now.
  Position position() const;
  // Goes back to a position taken earlier: each day it knows is read again
  // from its place there (a day entered since, or whose file has been read
  // again from its top since, from where it was entered), and the day read
  // then is read again first.
  void restore(const Position& position);

  // Before the first read: takes up a place kept from an earlier run, when
  // it is of today's file (the same file, not shorter than the place), or,
  // with keptUp (a console was reading until a few minutes ago), of an
  // earlier day's file, whose rest is read before today's. Otherwise the
  // reader starts as it would without it; the answer says why. file is the
  // name the place was kept for.
  Resumed resume(const Mark& mark, const std::string& file, bool keptUp);

  Progress progress() const;
  // The log file of a day.
  std::string fileOf(const std::string& date) const;

  const std::string& getFile() const { return day_.file; }
  const std::string& getDate() const { return day_.date; }
  int64_t getPosition() const { return day_.position; }
  int64_t getLine() const { return day_.line; }

  // A line whose first 20 bytes are all "-".
  static bool isSeparator(const std::string& line);

 private:
  enum class Step { kLines, kMissing, kBadPosition, kNothing };

  // What the reader knows of one day's file.
  struct Day {
    std::string file;
    std::string date;
    int64_t position = 0;
    int64_t line = 0;
    // Its start point is decided: behind the last separator (the scan), or
    // at the top (no separator, or the file was truncated or replaced).
    bool entered = false;
    bool behindSeparator = false;
    uint64_t generation = 0;
    int64_t entryPosition = 0;  // where the current generation was entered
    int64_t entryLine = 0;
    // The furthest position the current generation has been read to: lines
    // before it were read for a console, and a restore that takes them back
    // must not let a change of day skip them.
    int64_t readTo = 0;
    // At a change of day, how much of the rest is read before the day is
    // left: decided once, at the first call of the new day.
    enum class Leave { kUndecided, kWhole, kReadPart } leave = Leave::kUndecided;
    bool known = false;  // fileState holds the file's identity
    platform::FileState fileState;

    Mark mark() const;
  };

  // A last line without its line end, seen at the end of the day's file:
  // where it starts, how long it was and since when (steady time).
  struct Unfinished {
    std::string date;
    uint64_t generation = 0;
    int64_t position = -1;
    size_t size = 0;
    int64_t sinceMillis = 0;
  };

  // Appends batches of the current file's next lines, none starting at or
  // past limit. With leaving, the file is being finished before the reader
  // leaves its day: an unfinished last line goes out at once.
  Step readFile(std::vector<Batch>* out, size_t maxBytes, size_t budget, bool leaving,
                int64_t limit = INT64_MAX);
  // True while an unfinished last line of size bytes at the day's position
  // is to be held back (it is new, or has changed or stayed for less than
  // kUnfinishedLineMillis).
  bool holdsUnfinished(const Day& day, size_t size, int64_t now);
  // Makes date the current day: remembered where it stopped, or new. The
  // day left is remembered.
  void switchTo(const std::string& date);
  bool remembers(const std::string& date) const;
  void publish(bool missing);

  const std::string programName_;
  const std::string logDir_;
  const platform::Clock& clock_;
  Day day_;                     // the day being read
  std::vector<Day> otherDays_;  // days left that a clock may come back to
  int64_t lastCallMillis_ = -1;  // steady time of the last call; -1 before the first
  Unfinished unfinished_;

  mutable std::mutex progressMu_;
  Progress progress_;  // guarded by progressMu_
};

}  // namespace tavin
