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

// A read that ended at the end of the file before a line feed, shorter than
// a full piece of a long line: the program is still writing that line.
bool isUnfinished(const std::string& line) {
  return !line.empty() && line.back() != '\n' && line.size() < kReadBuffer - 1;
}

}  // namespace

const SystemLogReader::Mark* SystemLogReader::Position::find(const std::string& day) const {
  for (const Mark& mark : days) {
    if (mark.date == day) return &mark;
  }
  return nullptr;
}

SystemLogReader::Mark SystemLogReader::Day::mark() const {
  Mark mark;
  mark.date = date;
  mark.generation = generation;
  mark.position = position;
  mark.line = line;
  mark.behindSeparator = behindSeparator;
  mark.known = known;
  mark.volume = fileState.volume;
  mark.index = fileState.index;
  return mark;
}

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

std::string SystemLogReader::fileOf(const std::string& date) const {
  return logDir_ + "system" + date + ".log";
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
  const int64_t lastCall = lastCallMillis_;
  lastCallMillis_ = now;
  if (day_.date.empty()) {
    switchTo(today);
  } else if (today > day_.date) {
    // The rest of the day before's file first (lines written just before
    // midnight), but only for a reader that was keeping up with it: after a
    // night without a console, the console wants today's lines. Real time
    // decides, so a clock set a day ahead does not count as a night. Lines
    // read once already (and taken back since) come again either way.
    if (day_.leave == Day::Leave::kUndecided) {
      const bool keepingUp = lastCall >= 0 && now - lastCall <= kKeepUpSeconds * 1000;
      day_.leave = keepingUp ? Day::Leave::kWhole : Day::Leave::kReadPart;
    }
    const int64_t limit = day_.leave == Day::Leave::kWhole ? INT64_MAX : day_.readTo;
    if (day_.position < limit && readFile(out, maxBytes, budget, true, limit) == Step::kLines) {
      publish(false);
      return true;
    }
    // Remembered either way: a clock set a day ahead while nobody reads
    // comes back to where the day stopped.
    switchTo(today);
  } else if (today < day_.date && remembers(today)) {
    // The clock came back to a day left earlier: on from where it stopped.
    switchTo(today);
  }
  // Otherwise the day never goes back: with the clock set back across
  // midnight the reader stays on its file instead of sending an earlier
  // day's file again.

  const Step step = readFile(out, maxBytes, budget, false);
  publish(step == Step::kMissing);
  if (step == Step::kLines) return true;
  if (why != nullptr) {
    *why = step == Step::kMissing       ? std::string(kSysLogFileMissing)
           : step == Step::kBadPosition ? std::string(kSysLogPositionInvalid)
                                        : std::string(kSysLogNoNewRecords);
  }
  return out->size() > first;
}

void SystemLogReader::switchTo(const std::string& date) {
  if (!day_.date.empty()) {
    otherDays_.erase(std::remove_if(otherDays_.begin(), otherDays_.end(),
                                    [&](const Day& day) { return day.date == day_.date; }),
                     otherDays_.end());
    day_.leave = Day::Leave::kUndecided;  // decided again if the clock comes back to it
    otherDays_.push_back(std::move(day_));
    if (otherDays_.size() > kRememberedDays) {
      // The earliest day is the least likely to come again.
      otherDays_.erase(std::min_element(
          otherDays_.begin(), otherDays_.end(),
          [](const Day& a, const Day& b) { return a.date < b.date; }));
    }
  }
  auto again = std::find_if(otherDays_.begin(), otherDays_.end(),
                            [&](const Day& day) { return day.date == date; });
  if (again != otherDays_.end()) {
    day_ = std::move(*again);
    otherDays_.erase(again);
    return;
  }
  // A new day: its own file, read from its start point once it exists.
  day_ = Day{};
  day_.file = fileOf(date);
  day_.date = date;
}

bool SystemLogReader::remembers(const std::string& date) const {
  return std::any_of(otherDays_.begin(), otherDays_.end(),
                     [&](const Day& day) { return day.date == date; });
}

SystemLogReader::Position SystemLogReader::position() const {
  Position position;
  position.date = day_.date;
  if (day_.entered) position.days.push_back(day_.mark());
  for (const Day& day : otherDays_) {
    if (day.entered) position.days.push_back(day.mark());
  }
  return position;
}

void SystemLogReader::restore(const Position& position) {
  auto place = [&](Day& day) {
    if (!day.entered) return;
    const Mark* mark = position.find(day.date);
    if (mark != nullptr && mark->generation == day.generation) {
      day.position = mark->position;
      day.line = mark->line;
    } else {
      // Entered, or read again from its top, after the position was taken:
      // everything since its start point comes again, without a new scan.
      day.position = day.entryPosition;
      day.line = day.entryLine;
    }
  };
  place(day_);
  for (Day& day : otherDays_) place(day);
  if (position.date != day_.date) {
    auto then = std::find_if(otherDays_.begin(), otherDays_.end(),
                             [&](const Day& day) { return day.date == position.date; });
    if (then != otherDays_.end()) std::swap(day_, *then);
  }
  publish(false);
}

SystemLogReader::Resumed SystemLogReader::resume(const Mark& mark, const std::string& file,
                                                 bool keptUp) {
  const std::string today = dateText(clock_.localTime());
  if (mark.date != today && !(keptUp && mark.date < today)) return Resumed::kOtherDay;
  if (file != fileOf(mark.date)) return Resumed::kOtherFile;
  platform::LineReader reader;
  platform::FileState state;
  if (!reader.open(file).isOk() || !reader.state(&state).isOk()) return Resumed::kMissing;
  if (mark.known && (state.volume != mark.volume || state.index != mark.index)) {
    return Resumed::kReplaced;
  }
  if (state.size < mark.position) return Resumed::kShorter;
  otherDays_.clear();
  day_ = Day{};
  day_.file = file;
  day_.date = mark.date;
  day_.position = mark.position;
  day_.line = mark.line;
  day_.entered = true;
  day_.behindSeparator = mark.behindSeparator;
  day_.entryPosition = mark.position;
  day_.entryLine = mark.line;
  day_.readTo = mark.position;
  day_.known = true;
  day_.fileState = state;
  // A console was reading until just before the restart: the reader keeps
  // up with the day, as if it had been called now.
  lastCallMillis_ = keptUp ? clock_.steadyMillis() : -1;
  publish(false);
  return mark.date == today ? Resumed::kToday : Resumed::kDayBefore;
}

void SystemLogReader::publish(bool missing) {
  std::lock_guard<std::mutex> lock(progressMu_);
  progress_.file = day_.file;
  progress_.position = day_.position;
  progress_.missing = missing;
}

SystemLogReader::Progress SystemLogReader::progress() const {
  std::lock_guard<std::mutex> lock(progressMu_);
  return progress_;
}

bool SystemLogReader::holdsUnfinished(const Day& day, size_t size, int64_t now) {
  Unfinished& u = unfinished_;
  if (u.date == day.date && u.generation == day.generation && u.position == day.position &&
      u.size == size) {
    return now - u.sinceMillis < kUnfinishedLineMillis;
  }
  u = Unfinished{day.date, day.generation, day.position, size, now};
  return true;
}

SystemLogReader::Step SystemLogReader::readFile(std::vector<Batch>* out, size_t maxBytes,
                                                size_t budget, bool leaving, int64_t limit) {
  Day& day = day_;
  const int64_t now = clock_.steadyMillis();
  // Nothing new in a file read to its end that has kept its length (or
  // that holds only the unfinished line held back, still unchanged): known
  // without opening it (the push looks several times a second). A file
  // replaced by one of the same length is found once it grows.
  int64_t size = 0;
  if (day.known && platform::fileSize(day.file, &size).isOk()) {
    if (size == day.position) return Step::kNothing;
    const Unfinished& u = unfinished_;
    if (!leaving && u.date == day.date && u.generation == day.generation &&
        u.position == day.position && size == day.position + static_cast<int64_t>(u.size) &&
        now - u.sinceMillis < kUnfinishedLineMillis) {
      return Step::kNothing;
    }
  }
  platform::LineReader reader;
  if (!reader.open(day.file).isOk()) return Step::kMissing;

  // A file shorter than the position has been truncated, and one with
  // another identity has been replaced (deleted and written anew). Either
  // way everything in it is new: it is read from its first line, without the
  // separator scan, so that none of its lines is lost.
  platform::FileState fileState;
  if (reader.state(&fileState).isOk()) {
    const bool replaced = day.known && !fileState.sameFile(day.fileState);
    if (replaced || fileState.size < day.position) {
      day.position = 0;
      day.line = 0;
      day.entered = true;
      day.behindSeparator = false;
      ++day.generation;
      day.entryPosition = 0;
      day.entryLine = 0;
      day.readTo = 0;
    }
    day.fileState = fileState;
    day.known = true;
  }

  std::string line;
  if (!day.entered) {
    // Start behind the last separator line, or at the top when there is none.
    int64_t count = 0;
    int64_t bytes = 0;
    while (reader.readLine(&line, kReadBuffer)) {
      ++count;
      bytes += static_cast<int64_t>(line.size());
      if (isSeparator(line)) {
        day.line = count;
        day.position = bytes;
      }
    }
    day.entered = true;
    day.behindSeparator = day.line > 0;
    day.entryPosition = day.position;
    day.entryLine = day.line;
    day.readTo = day.position;
  }
  // Positions are 64-bit and only ever grow, so a log past 2 GiB reads on;
  // a seek the file system refuses is the one invalid position left.
  if (!reader.seek(day.position).isOk()) return Step::kBadPosition;

  size_t total = 0;
  bool found = false;
  bool carried = false;  // line holds a line read but left for the next batch
  bool ended = false;
  while (!ended && total < budget) {
    Batch batch;
    batch.before = position();
    for (int i = 0; i < kBatchLines; ++i) {
      if (day.position >= limit) {
        ended = true;
        break;
      }
      if (!carried) {
        if (!reader.readLine(&line, kReadBuffer)) {
          ended = true;
          break;
        }
        // The program is still writing its last line: it waits for its
        // end (or for a while), not consumed, so it goes out whole.
        if (!leaving && isUnfinished(line) && holdsUnfinished(day, line.size(), now)) {
          ended = true;
          break;
        }
      }
      carried = false;
      if (!isSeparator(line)) {
        char label[32];
        const int labelLength =
            std::snprintf(label, sizeof label, " %lld ", static_cast<long long>(day.line + 1));
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
      ++day.line;
      day.position += static_cast<int64_t>(line.size());
      day.readTo = std::max(day.readTo, day.position);
    }
    // A batch of separators alone sends nothing; the reading goes on.
    if (batch.lines == 0) continue;
    batch.after = position();
    total += batch.text.size();
    out->push_back(std::move(batch));
    found = true;
  }
  return found ? Step::kLines : Step::kNothing;
}

}  // namespace tavin
