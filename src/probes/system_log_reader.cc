#include "probes/system_log_reader.h"

#include <cstdio>
#include <utility>

#include "platform/files.h"
#include "probes/probe_texts.h"

namespace tavin {
namespace {

constexpr size_t kReadBuffer = 1024;
constexpr size_t kSeparatorLength = 20;

std::string dateText(const platform::LocalTime& time) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%2.2d%2.2d%2.2d", time.year, time.month, time.day);
  return buffer;
}

// The bytes 0x00, 0x01 (the field end on the wire) and 0x02 (the entry end)
// would cut or split the message a console receives; inside a line they
// become blanks. None of them can be the second byte of a GBK character.
void appendLineText(std::string& out, const std::string& line) {
  for (char c : line) out += (c == '\0' || c == '\x01' || c == '\x02') ? ' ' : c;
}

}  // namespace

SystemLogReader::SystemLogReader(std::string programName, std::string logDir,
                                 const platform::Clock& clock)
    : programName_(std::move(programName)), logDir_(std::move(logDir)), clock_(clock) {}

bool SystemLogReader::isSeparator(const std::string& line) {
  if (line.size() < kSeparatorLength) return false;
  for (size_t i = 0; i < kSeparatorLength; ++i) {
    if (line[i] != '-') return false;
  }
  return true;
}

bool SystemLogReader::readNewSysLog(std::string& out) {
  out.clear();
  const std::string today = dateText(clock_.localTime());
  if (date_ != today) {
    // Lines written to the day before's file after the last call (just before
    // midnight) are sent before the reader moves on; skipping them would lose
    // them for good.
    if (!file_.empty() && readStep(out) == Step::kLines) return true;
    out.clear();
    // A new day: its own file, read from its start (after the separator scan).
    file_ = logDir_ + "system" + today + ".log";
    date_ = today;
    position_ = 0;
    line_ = 0;
    known_ = false;
    fromTop_ = false;
  }

  switch (readStep(out)) {
    case Step::kLines:
      return true;
    case Step::kMissing:
      out = kSysLogFileMissing;
      return false;
    case Step::kBadPosition:
      out = kSysLogPositionInvalid;
      return false;
    case Step::kNothing:
      break;
  }
  out = kSysLogNoNewRecords;
  return false;
}

SystemLogReader::Step SystemLogReader::readStep(std::string& out) {
  platform::LineReader reader;
  if (!reader.open(file_).isOk()) return Step::kMissing;

  // A file shorter than the position has been truncated, and one with
  // another identity has been replaced (deleted and written anew). Either
  // way everything in it is new: it is read from its first line, without the
  // separator scan, so that none of its lines is lost.
  platform::FileState state;
  if (reader.state(&state).isOk()) {
    const bool replaced = known_ && !state.sameFile(fileState_);
    if (replaced || state.size < position_) {
      position_ = 0;
      line_ = 0;
      fromTop_ = true;
    }
    fileState_ = state;
    known_ = true;
  }

  std::string line;
  if (position_ == 0 && line_ == 0 && !fromTop_) {
    // Start behind the last separator line, or at the top when there is none.
    int64_t lines = 0;
    int64_t bytes = 0;
    while (reader.readLine(&line, kReadBuffer)) {
      ++lines;
      bytes += static_cast<int64_t>(line.size());
      if (isSeparator(line)) {
        line_ = lines;
        position_ = bytes;
      }
    }
  }
  // Positions are 64-bit and only ever grow, so a log past 2 GiB reads on;
  // a seek the file system refuses is the one invalid position left.
  if (!reader.seek(position_).isOk()) return Step::kBadPosition;

  for (int i = 0; i < kBatchLines && reader.readLine(&line, kReadBuffer); ++i) {
    // The position advances by the bytes actually read, zero bytes included,
    // so no byte is read twice.
    ++line_;
    position_ += static_cast<int64_t>(line.size());
    if (isSeparator(line)) continue;
    out += programName_;
    out += ' ';
    out += std::to_string(line_);
    out += ' ';
    appendLineText(out, line);
    out += kSysLogEntryEnd;
  }
  return out.empty() ? Step::kNothing : Step::kLines;
}

}  // namespace tavin
