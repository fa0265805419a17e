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

bool SystemLogReader::readNewSysLog(std::string& out, size_t maxBytes, int* lines) {
  out.clear();
  if (lines != nullptr) *lines = 0;
  const platform::LocalTime now = clock_.localTime();
  const std::string today = dateText(now);
  const int64_t nowSeconds = clock_.localToEpochSeconds(now);
  const int64_t lastCall = state_.lastCallSeconds;
  state_.lastCallSeconds = nowSeconds;
  // The day only moves forward: with the clock set back across midnight the
  // reader stays on its file rather than send an earlier day's file again.
  if (state_.date.empty() || today > state_.date) {
    // The rest of the day before's file first (lines written just before
    // midnight), but only for a reader that was keeping up with it: after a
    // night without a console, the console wants today's lines.
    const bool keepingUp = lastCall >= 0 && nowSeconds - lastCall <= kKeepUpSeconds;
    if (!state_.file.empty() && keepingUp && readStep(out, maxBytes, lines) == Step::kLines) {
      publish();
      return true;
    }
    out.clear();
    if (lines != nullptr) *lines = 0;
    switchTo(today);
  }

  const Step step = readStep(out, maxBytes, lines);
  publish();
  switch (step) {
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

void SystemLogReader::switchTo(const std::string& date) {
  // A new day: its own file, read from its start (after the separator scan).
  state_.file = logDir_ + "system" + date + ".log";
  state_.date = date;
  state_.position = 0;
  state_.line = 0;
  state_.known = false;
  state_.fromTop = false;
}

void SystemLogReader::restore(const State& state) {
  state_ = state;
  publish();
}

void SystemLogReader::publish() {
  std::lock_guard<std::mutex> lock(progressMu_);
  progress_.file = state_.file;
  progress_.position = state_.position;
}

SystemLogReader::Progress SystemLogReader::progress() const {
  std::lock_guard<std::mutex> lock(progressMu_);
  return progress_;
}

SystemLogReader::Step SystemLogReader::readStep(std::string& out, size_t maxBytes, int* lines) {
  platform::LineReader reader;
  if (!reader.open(state_.file).isOk()) return Step::kMissing;

  // A file shorter than the position has been truncated, and one with
  // another identity has been replaced (deleted and written anew). Either
  // way everything in it is new: it is read from its first line, without the
  // separator scan, so that none of its lines is lost.
  platform::FileState fileState;
  if (reader.state(&fileState).isOk()) {
    const bool replaced = state_.known && !fileState.sameFile(state_.fileState);
    if (replaced || fileState.size < state_.position) {
      state_.position = 0;
      state_.line = 0;
      state_.fromTop = true;
    }
    state_.fileState = fileState;
    state_.known = true;
  }

  std::string line;
  if (state_.position == 0 && state_.line == 0 && !state_.fromTop) {
    // Start behind the last separator line, or at the top when there is none.
    int64_t count = 0;
    int64_t bytes = 0;
    while (reader.readLine(&line, kReadBuffer)) {
      ++count;
      bytes += static_cast<int64_t>(line.size());
      if (isSeparator(line)) {
        state_.line = count;
        state_.position = bytes;
      }
    }
  }
  // Positions are 64-bit and only ever grow, so a log past 2 GiB reads on;
  // a seek the file system refuses is the one invalid position left.
  if (!reader.seek(state_.position).isOk()) return Step::kBadPosition;

  for (int i = 0; i < kBatchLines && reader.readLine(&line, kReadBuffer); ++i) {
    if (!isSeparator(line)) {
      const std::string label = programName_ + ' ' + std::to_string(state_.line + 1) + ' ';
      // A batch that would pass its size ends before this line, which stays
      // unread for the next call.
      if (!out.empty() && out.size() + label.size() + line.size() + 1 > maxBytes) break;
      out += label;
      appendLineText(out, line);
      out += kSysLogEntryEnd;
      if (lines != nullptr) ++*lines;
    }
    // The position advances by the bytes actually read, zero bytes included,
    // so no byte is read twice.
    ++state_.line;
    state_.position += static_cast<int64_t>(line.size());
  }
  return out.empty() ? Step::kNothing : Step::kLines;
}

}  // namespace tavin
