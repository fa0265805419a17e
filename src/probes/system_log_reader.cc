#include "probes/system_log_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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
  const size_t start = out.size();
  out += line;
  for (size_t i = start; i < out.size(); ++i) {
    if (static_cast<unsigned char>(out[i]) <= 0x02) out[i] = ' ';
  }
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
  std::vector<Batch> batches;
  // A budget of one byte: the first batch reaches it.
  const bool found = readBatches(&batches, maxBytes, 1, &out);
  if (lines != nullptr) *lines = found ? batches.front().lines : 0;
  if (found) out = std::move(batches.front().text);
  return found;
}

bool SystemLogReader::readBatches(std::vector<Batch>* out, size_t maxBytes, size_t budget,
                                  std::string* why) {
  const size_t first = out->size();
  const std::string today = dateText(clock_.localTime());
  const int64_t now = clock_.steadyMillis();
  const int64_t lastCall = state_.lastCallMillis;
  state_.lastCallMillis = now;
  if (state_.date.empty()) {
    switchTo(today, false);
  } else if (today > state_.date) {
    // The rest of the day before's file first (lines written just before
    // midnight), but only for a reader that was keeping up with it: after a
    // night without a console, the console wants today's lines. Real time
    // decides, so a clock set a day ahead does not count as a night.
    const bool keepingUp = lastCall >= 0 && now - lastCall <= kKeepUpSeconds * 1000;
    if (keepingUp && readFile(out, maxBytes, budget) == Step::kLines) {
      publish(false);
      return true;
    }
    switchTo(today, keepingUp);
  } else if (today < state_.date && remembers(today)) {
    // The clock came back to a day left earlier: on from where it stopped.
    switchTo(today, true);
  }
  // Otherwise the day never goes back: with the clock set back across
  // midnight the reader stays on its file instead of sending an earlier
  // day's file again.

  const Step step = readFile(out, maxBytes, budget);
  publish(step == Step::kMissing);
  if (step == Step::kLines) return true;
  if (why != nullptr) {
    *why = step == Step::kMissing       ? std::string(kSysLogFileMissing)
           : step == Step::kBadPosition ? std::string(kSysLogPositionInvalid)
                                        : std::string(kSysLogNoNewRecords);
  }
  return out->size() > first;
}

void SystemLogReader::switchTo(const std::string& date, bool remember) {
  std::vector<Day>& days = state_.otherDays;
  if (remember) {
    days.erase(std::remove_if(days.begin(), days.end(),
                              [&](const Day& day) { return day.date == state_.date; }),
               days.end());
    days.push_back(static_cast<const Day&>(state_));
    if (days.size() > kRememberedDays) {
      // The earliest day is the least likely to come again.
      days.erase(std::min_element(days.begin(), days.end(), [](const Day& a, const Day& b) {
        return a.date < b.date;
      }));
    }
  }
  auto again = std::find_if(days.begin(), days.end(), [&](const Day& day) { return day.date == date; });
  if (again != days.end()) {
    static_cast<Day&>(state_) = std::move(*again);
    days.erase(again);
    return;
  }
  // A new day: its own file, read from its start (after the separator scan).
  static_cast<Day&>(state_) = Day{};
  state_.file = logDir_ + "system" + date + ".log";
  state_.date = date;
}

bool SystemLogReader::remembers(const std::string& date) const {
  return std::any_of(state_.otherDays.begin(), state_.otherDays.end(),
                     [&](const Day& day) { return day.date == date; });
}

void SystemLogReader::restore(const State& state) {
  state_ = state;
  publish(false);
}

void SystemLogReader::publish(bool missing) {
  std::lock_guard<std::mutex> lock(progressMu_);
  progress_.file = state_.file;
  progress_.position = state_.position;
  progress_.missing = missing;
}

SystemLogReader::Progress SystemLogReader::progress() const {
  std::lock_guard<std::mutex> lock(progressMu_);
  return progress_;
}

SystemLogReader::Step SystemLogReader::readFile(std::vector<Batch>* out, size_t maxBytes,
                                                size_t budget) {
  // Nothing new in a file read to its end that has kept its length: known
  // without opening it (the push looks several times a second). A file
  // replaced by one of the same length is found once it grows.
  int64_t size = 0;
  if (state_.known && platform::fileSize(state_.file, &size).isOk() && size == state_.position) {
    return Step::kNothing;
  }
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

  size_t total = 0;
  bool found = false;
  bool carried = false;  // line holds a line read but left for the next batch
  bool ended = false;
  while (!ended && total < budget) {
    Batch batch;
    batch.before = state_;
    for (int i = 0; i < kBatchLines; ++i) {
      if (!carried && !reader.readLine(&line, kReadBuffer)) {
        ended = true;
        break;
      }
      carried = false;
      if (!isSeparator(line)) {
        char label[32];
        const int labelLength =
            std::snprintf(label, sizeof label, " %lld ", static_cast<long long>(state_.line + 1));
        const size_t entry = programName_.size() + static_cast<size_t>(labelLength) + line.size() + 1;
        // A batch that would pass its size ends before this line, which
        // starts the next batch.
        if (!batch.text.empty() && batch.text.size() + entry > maxBytes) {
          carried = true;
          break;
        }
        batch.text += programName_;
        batch.text.append(label, static_cast<size_t>(labelLength));
        appendLineText(batch.text, line);
        batch.text += kSysLogEntryEnd;
        ++batch.lines;
      }
      // The position advances by the bytes actually read, zero bytes
      // included, so no byte is read twice.
      ++state_.line;
      state_.position += static_cast<int64_t>(line.size());
    }
    // A batch of separators alone sends nothing; the reading goes on.
    if (batch.lines == 0) continue;
    total += batch.text.size();
    out->push_back(std::move(batch));
    found = true;
  }
  return found ? Step::kLines : Step::kNothing;
}

}  // namespace tavin
